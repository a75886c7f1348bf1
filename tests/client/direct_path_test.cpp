// The direct path's rules with an injected clock: which answers move it, and a pair of ends
// that goes direct, falls back when the path is cut and comes back when it heals.
#include <gtest/gtest.h>

#include <vector>

#include "client/direct_path.hpp"

namespace kiv::client {
namespace {

const Peer A = Peer::from_text("203.0.113.11", 4000), B = Peer::from_text("203.0.113.12", 5000);
const Peer B_LAN = Peer::from_text("192.168.1.2", 5000), X = Peer::from_text("198.51.100.9", 5000);
const Secret SECRET = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

Candidates of(std::vector<Peer> peers) {
    Candidates candidates;
    for (const Peer& peer : peers)
        candidates.add(peer);
    return candidates;
}

// One end probing B_LAN and B, answered once 30 ms later by `from` with the nonce of the probe
// that went to `probed`.
TEST(DirectPath, GoesDirectOnlyOnAnAnswerWithTheSecretFromTheAddressProbed) {
    struct Case {
        const char* name;
        Peer from, probed;
        uint8_t secret_flip;
        PathState want;
    };
    const Case cases[] = {
        {"answered", B, B, 0, PathState::direct},
        {"without the secret", B, B, 0x80, PathState::punching},
        {"from an address not probed", X, B, 0, PathState::punching},
        {"with the nonce of another address's probe", B, B_LAN, 0, PathState::punching},
    };
    for (const Case& c : cases) {
        DirectPath path;
        PathActions out;
        path.start(of({B_LAN, B}), SECRET, 0, &out);
        PathAction answer = out.items[c.probed == B ? 1 : 0];
        answer.bytes[4] = 3;  // the probe as its answer
        answer.bytes[31] ^= c.secret_flip;
        out.clear();
        PathInput input = path.receive(answer.bytes, answer.length, c.from, 30'000, &out);
        EXPECT_EQ(path.state(), c.want) << c.name;
        EXPECT_EQ(input.kind, c.secret_flip ? PathInput::dropped : PathInput::control) << c.name;
        if (c.want != PathState::direct) continue;
        ASSERT_EQ(out.count, 2u);  // and a heartbeat at once
        EXPECT_TRUE(out.items[0].kind == PathActionKind::went_direct && out.items[1].to == B);
        EXPECT_EQ(out.items[0].rtt_us, 30'000u);
        Route route = path.route();
        EXPECT_TRUE(route.direct && route.relay && route.to == B);  // the peer not yet known direct
    }
}

// A host starts on the join's secret alone and learns its addresses later: those are probed
// at once, whether it is still punching or had given up; addresses it knew are not again.
TEST(DirectPath, AddressesLearntLaterAreProbedAtOnce) {
    for (uint64_t learnt_us : {uint64_t(50'000), PUNCH_US + 1}) {
        DirectPath path;
        PathActions out;
        path.start(of({}), SECRET, 0, &out);
        path.tick(learnt_us, &out);
        out.clear();
        path.learn(of({B_LAN, B}), learnt_us, &out);
        ASSERT_EQ(out.count, 2u) << learnt_us;
        EXPECT_TRUE(out.items[0].to == B_LAN && out.items[1].to == B);
        EXPECT_EQ(path.state(), PathState::punching);
        out.clear();
        path.learn(of({B}), learnt_us, &out);
        EXPECT_EQ(out.count, 0u);
    }
}

// Two ends on a network that carries a datagram in one 10 ms step, unless the path is cut.
struct Pair {
    DirectPath a, b;
    uint64_t now_us = 0;
    bool cut = false;
    std::vector<PathActionKind> events;  // of end a
    std::vector<std::pair<Peer, PathAction>> flight;

    void take(const Peer& from, PathActions& out) {
        for (size_t i = 0; i < out.count; ++i) {
            bool send = out.items[i].kind == PathActionKind::send;
            if (send) flight.push_back({from, out.items[i]});
            if (!send && from == A) events.push_back(out.items[i].kind);
        }
        out.clear();
    }
    void run_until(uint64_t until_us) {
        PathActions out;
        for (; now_us < until_us; now_us += 10'000) {
            auto landing = std::move(flight);
            flight.clear();
            for (auto& [from, sent] : landing) {
                if (cut || !(sent.to == A || sent.to == B)) continue;
                (sent.to == A ? a : b).receive(sent.bytes, sent.length, from, now_us, &out);
                take(sent.to, out);  // answers leave from the receiver
            }
            a.tick(now_us, &out);
            take(A, out);
            b.tick(now_us, &out);
            take(B, out);
        }
    }
};

TEST(DirectPath, APairGoesDirectFallsBackWhenCutAndReturnsLater) {
    Pair pair;
    PathActions out;
    pair.a.start(of({B_LAN, B}), SECRET, 0, &out);
    pair.take(A, out);
    pair.b.start(of({A}), SECRET, 0, &out);
    pair.take(B, out);
    struct Phase {
        bool cut;
        uint64_t until_us;
        PathState want;
        bool relay, direct;
    };
    const Phase phases[] = {
        {false, 200'000, PathState::direct, false, true},  // each knows the other sends here
        {true, 200'000 + DOUBT_US + HEARTBEAT_US, PathState::doubt, true, true},
        {true, 200'000 + FALLBACK_US + HEARTBEAT_US, PathState::relayed, true, false},
        {false, 200'000 + FALLBACK_US + PATH_RETRY_US + 2 * HEARTBEAT_US, PathState::direct, false,
         true},
    };
    for (const Phase& phase : phases) {
        pair.cut = phase.cut;
        pair.run_until(phase.until_us);
        EXPECT_EQ(pair.a.state(), phase.want) << phase.until_us;
        EXPECT_TRUE(pair.a.route().relay == phase.relay && pair.a.route().direct == phase.direct);
        uint8_t data[PATH_DATA_HEADER + 1] = {};
        path_data_header(data);
        EXPECT_EQ(pair.a.receive(data, sizeof data, X, pair.now_us, &out).kind, PathInput::dropped);
        EXPECT_EQ(pair.a.receive(data, sizeof data, B, pair.now_us, &out).length,
                  phase.direct ? 1u : 0u);
    }
    EXPECT_EQ(pair.events, (std::vector{PathActionKind::went_direct, PathActionKind::fell_back,
                                        PathActionKind::went_direct}));
}

}  // namespace
}  // namespace kiv::client
