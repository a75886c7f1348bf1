// Direct paths inside the library: a host and a join, each its state machine over a transport
// in memory, with a stand-in relay between them that forwards room data, answers opens and
// pings, and carries what each end sends to the other's address straight across, unless the
// test cuts that way. The clock is stepped by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "client/kiv_client.hpp"
#include "client/memory_transport.hpp"
#include "datagram.hpp"

namespace kiv::test {
namespace {

using client::Error;
using client::Event;
using client::EventKind;

constexpr uint64_t T0 = 1'000'000'000;
constexpr uint64_t STEP_US = 10'000;
const Peer HOST_AT = Peer::from_text("192.0.2.1", 4000);
const Peer JOIN_AT = Peer::from_text("198.51.100.2", 5000);
const Peer STRANGER = Peer::from_text("203.0.113.9", 6000);
constexpr uint32_t ROOM = 70;
constexpr uint32_t TAG = 1;

struct Pair {
    client::InMemory<client::HostSession> host;
    client::InMemory<client::ClientSession> join;
    uint64_t now_us = T0;
    bool direct_cut = false;
    uint32_t join_tag = TAG;  // what the relay calls the join
    // What each end sent the relay, and where it sent the rest, in order.
    std::vector<Bytes> host_to_relay, join_to_relay;
    std::vector<Event> host_events, join_events;

    Pair(bool host_direct, bool join_direct) {
        EXPECT_EQ(host.set_direct(host_direct), Error::none);
        EXPECT_EQ(join.set_direct(join_direct), Error::none);
        host.set_local(HOST_AT);
        join.set_local(JOIN_AT);
        EXPECT_EQ(host.open(RoomId(ROOM), now_us), Error::none);
        EXPECT_EQ(join.join(RoomId(ROOM), now_us), Error::none);
    }

    // Moves what each end sent to where it goes; returns how many datagrams moved.
    int carry() { return carry_from(host, true) + carry_from(join, false); }
    int carry_from(client::MemoryTransport& from, bool is_host) {
        uint8_t bytes[client::MemoryTransport::SLOT];
        size_t length = 0;
        Peer to;
        int moved = 0;
        while (from.take_sent(bytes, &length, &to)) {
            ++moved;
            if (to.is_set()) {
                if (!direct_cut && to == (is_host ? JOIN_AT : HOST_AT)) {
                    other(is_host).deliver_from(is_host ? HOST_AT : JOIN_AT, bytes, length);
                }
                continue;
            }
            Bytes datagram(bytes, bytes + length);
            (is_host ? host_to_relay : join_to_relay).push_back(datagram);
            relay(datagram, is_host);
        }
        return moved;
    }
    client::MemoryTransport& other(bool is_host) {
        if (is_host) return join;
        return host;
    }
    // The relay's part: rooms, pings, reflections and forwarding.
    void relay(Bytes datagram, bool from_host) {
        MsgType type = MsgType(datagram[OFFSET_TYPE]);
        if (type == MSG_REFLECT) {
            const Peer& seen = from_host ? HOST_AT : JOIN_AT;
            uint8_t reflected[REFLECT_SIZE];
            header_write(reflected, MSG_REFLECTED, seen.port());
            seen.write_address16(reflected + REFLECT_ADDRESS_OFFSET);
            other(!from_host).deliver(reflected, sizeof reflected);
        } else if (from_host && type == MSG_OPEN) {
            Bytes opened = header(MSG_OPENED, ROOM);
            host.deliver(opened.data(), opened.size());
        } else if (!from_host && type == MSG_PING) {
            Bytes pong = header(MSG_PONG, header_value(datagram.data()));
            join.deliver(pong.data(), pong.size());
        } else if (type == MSG_DATA) {
            header_write(datagram.data(), MSG_DATA, from_host ? 0 : join_tag);
            other(from_host).deliver(datagram.data(), datagram.size());
        }
    }

    void step(uint64_t by_us = STEP_US) {
        now_us += by_us;
        for (int round = 0; round < 4; ++round) {
            drain();
            if (carry() == 0) break;
        }
    }
    void drain() {
        for (Event event; (event = host.next_event(now_us)).kind != EventKind::none;)
            host_events.push_back(event);
        for (Event event; (event = join.next_event(now_us)).kind != EventKind::none;)
            join_events.push_back(event);
    }
    static const Event* find(const std::vector<Event>& events, EventKind kind) {
        for (const Event& event : events) {
            if (event.kind == kind) return &event;
        }
        return nullptr;
    }
    // Steps until both ends said kind, for at most `for_us`.
    bool both_say(EventKind kind, uint64_t for_us) {
        for (uint64_t waited = 0; waited < for_us; waited += STEP_US) {
            if (find(host_events, kind) && find(join_events, kind)) return true;
            step();
        }
        return false;
    }
};

Bytes path_data(const Bytes& payload) {
    Bytes datagram(client::PATH_DATA_HEADER);
    client::path_data_header(datagram.data());
    return with_payload(datagram, payload);
}

Bytes probe_with(uint8_t type, uint8_t secret_byte) {
    Bytes probe(client::PROBE_SIZE, secret_byte);
    memcpy(probe.data(), client::PATH_MAGIC, 4);
    probe[4] = type;
    probe[5] = client::PATH_VERSION;
    probe[6] = probe[7] = 0;
    return probe;
}

TEST(DirectRoutes, OffersTradedThenDataGoesDirectWithTheSendersTag) {
    Pair pair(true, true);
    ASSERT_TRUE(pair.both_say(EventKind::path_direct, 2'000'000));
    const Event* host_direct = Pair::find(pair.host_events, EventKind::path_direct);
    EXPECT_EQ(host_direct->tag, Tag(TAG));
    EXPECT_EQ(host_direct->path_to, JOIN_AT);
    EXPECT_EQ(Pair::find(pair.join_events, EventKind::path_direct)->path_to, HOST_AT);
    // Neither the offers nor the probes reached an application (the join's empty datagram,
    // its join, did).
    for (const auto* events : {&pair.host_events, &pair.join_events}) {
        for (const Event& event : *events)
            EXPECT_FALSE(event.kind == EventKind::data && event.length > 0);
    }

    pair.step(client::HEARTBEAT_US);  // each end has heard the other send on the path
    pair.host_to_relay.clear();
    pair.join_to_relay.clear();
    pair.host_events.clear();
    pair.join_events.clear();
    const Bytes line = {'h', 'i'};
    ASSERT_EQ(pair.join.send(line.data(), line.size(), pair.now_us), Error::none);
    ASSERT_EQ(pair.host.send(Tag(TAG), line.data(), line.size(), pair.now_us), Error::none);
    pair.step(1);
    EXPECT_TRUE(pair.join_to_relay.empty());
    EXPECT_TRUE(pair.host_to_relay.empty());
    const Event* at_host = Pair::find(pair.host_events, EventKind::data);
    ASSERT_TRUE(at_host);
    EXPECT_EQ(at_host->tag, Tag(TAG));
    EXPECT_EQ(Bytes(at_host->payload, at_host->payload + at_host->length), line);
    const Event* at_join = Pair::find(pair.join_events, EventKind::data);
    ASSERT_TRUE(at_join);
    EXPECT_EQ(Bytes(at_join->payload, at_join->payload + at_join->length), line);
}

TEST(DirectRoutes, StrangersReachNeitherTheApplicationNorThePath) {
    struct Case {
        const char* what;
        Peer from;
        Bytes datagram;
    };
    const Case cases[] = {
        {"path data from a stranger", STRANGER, path_data({'x'})},
        {"path data from the peer's address, another port", Peer::from_text("198.51.100.2", 5001),
         path_data({'x'})},
        {"a probe with a wrong secret", STRANGER, probe_with(2, 0xAA)},
        {"an answer with a wrong secret from the peer", JOIN_AT, probe_with(3, 0xAA)},
        {"a heartbeat with a wrong secret from the peer", JOIN_AT, probe_with(5, 0xAA)},
        {"a relay header from a stranger", STRANGER, with_payload(header(MSG_DATA, TAG), {'x'})},
        {"bytes of nobody's", STRANGER, Bytes{1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair pair(true, true);
        ASSERT_TRUE(pair.both_say(EventKind::path_direct, 2'000'000));
        pair.host_events.clear();
        uint8_t sent[client::MemoryTransport::SLOT];
        size_t length = 0;
        while (pair.host.take_sent(sent, &length)) {
        }
        pair.host.deliver_from(c.from, c.datagram.data(), c.datagram.size());
        pair.drain();
        EXPECT_TRUE(pair.host_events.empty());
        EXPECT_FALSE(pair.host.take_sent(sent, &length));  // not even an answer
        // The path is still the peer's: its data arrives.
        Bytes data = path_data({'o', 'k'});
        pair.host.deliver_from(JOIN_AT, data.data(), data.size());
        pair.drain();
        ASSERT_EQ(pair.host_events.size(), 1u);
        EXPECT_EQ(pair.host_events[0].kind, EventKind::data);
        EXPECT_EQ(pair.host_events[0].tag, Tag(TAG));
    }
}

TEST(DirectRoutes, CutPathFallsBackAtBothEndsAndDataGoesThroughTheRelay) {
    Pair pair(true, true);
    ASSERT_TRUE(pair.both_say(EventKind::path_direct, 2'000'000));
    pair.direct_cut = true;
    ASSERT_TRUE(pair.both_say(EventKind::path_relayed, client::FALLBACK_US + 2'000'000));
    EXPECT_EQ(Pair::find(pair.host_events, EventKind::path_relayed)->tag, Tag(TAG));
    EXPECT_EQ(Pair::find(pair.host_events, EventKind::path_relayed)->error, Error::timed_out);
    EXPECT_EQ(Pair::find(pair.join_events, EventKind::path_relayed)->error, Error::timed_out);
    pair.join_to_relay.clear();
    const Bytes line = {'b', 'y', 'e'};
    ASSERT_EQ(pair.join.send(line.data(), line.size(), pair.now_us), Error::none);
    pair.step(1);
    EXPECT_EQ(pair.join_to_relay.back(), with_payload(header(MSG_DATA, ROOM), line));
}

// A relay that restarts while the data goes direct gives the join another tag when its
// keep-alive comes; the host moves the path to it, so its data reaches the join either way.
TEST(DirectRoutes, APathFollowsTheJoinToTheTagARestartedRelayGaveIt) {
    Pair pair(true, true);
    ASSERT_TRUE(pair.both_say(EventKind::path_direct, 2'000'000));
    pair.join_tag = 2;
    for (uint64_t waited = 0; waited < client::PLACE_KEEPALIVE_US; waited += 100'000)
        pair.step(100'000);
    pair.host_events.clear();
    pair.host_to_relay.clear();
    ASSERT_EQ(pair.join.send("hi", 2, pair.now_us), Error::none);
    pair.step(1);
    const Event* at_host = Pair::find(pair.host_events, EventKind::data);
    ASSERT_TRUE(at_host);
    EXPECT_EQ(at_host->tag, Tag(2));
    pair.direct_cut = true;
    ASSERT_EQ(pair.host.send(Tag(2), "ho", 2, pair.now_us), Error::none);
    pair.step(1);
    EXPECT_TRUE(pair.host_to_relay.empty());  // still direct, to the join's new tag
}

TEST(DirectRoutes, OnlyOneEndDirectOrNeitherSendsWhatItAlwaysDid) {
    struct Case {
        bool host_direct, join_direct;
    };
    for (const Case& c : {Case{false, false}, Case{true, false}, Case{false, true}}) {
        SCOPED_TRACE(testing::Message() << "host " << c.host_direct << " join " << c.join_direct);
        Pair pair(c.host_direct, c.join_direct);
        for (int i = 0; i < 700; ++i)
            pair.step();  // 7 s: every offer a join makes, and what punching there is
        EXPECT_FALSE(Pair::find(pair.host_events, EventKind::path_direct));
        EXPECT_FALSE(Pair::find(pair.join_events, EventKind::path_direct));
        // A host without the setting is never told where the join is.
        int offers = 0;
        for (const Bytes& datagram : pair.join_to_relay) {
            client::Offer offer;
            if (datagram.size() <= HEADER_SIZE ||
                !client::offer_read(datagram.data() + HEADER_SIZE, datagram.size() - HEADER_SIZE,
                                    &offer)) {
                continue;
            }
            ++offers;
            EXPECT_EQ(offer.candidates.count, 0);
        }
        EXPECT_EQ(offers, c.join_direct ? client::OFFER_TRIES : 0);
        const Bytes line = {'h', 'i'};
        pair.join_to_relay.clear();
        ASSERT_EQ(pair.join.send(line.data(), line.size(), pair.now_us), Error::none);
        pair.step(1);
        ASSERT_FALSE(pair.join_to_relay.empty());
        EXPECT_EQ(pair.join_to_relay.front(), with_payload(header(MSG_DATA, ROOM), line));
        if (c.join_direct) continue;
        // Without the setting the join sends the relay its join, pings and data alone.
        for (const Bytes& datagram : pair.join_to_relay)
            EXPECT_NE(datagram[OFFSET_TYPE], uint8_t(MSG_REFLECT));
    }
}

// A member that offers fresh secrets in a stream does not get the host to probe the address
// it names any faster than one punch does.
TEST(DirectRoutes, OffersInAStreamStartOnePunchAtATime) {
    Pair pair(true, false);
    pair.step();  // the room is open
    int probes = 0;
    for (uint64_t t = 0; t < 1'000'000; t += 50'000) {
        client::Offer offer;
        offer.secret[0] = uint8_t(t / 50'000 + 1);
        offer.candidates.add(STRANGER);
        uint8_t bytes[HEADER_SIZE + client::MAX_OFFER];
        header_write(bytes, MSG_DATA, TAG);
        pair.host.deliver(bytes, HEADER_SIZE + client::offer_write(offer, bytes + HEADER_SIZE));
        pair.now_us += 50'000;
        pair.drain();
        uint8_t sent[client::MemoryTransport::SLOT];
        size_t length = 0;
        for (Peer to; pair.host.take_sent(sent, &length, &to);)
            probes += to == STRANGER;
    }
    EXPECT_GE(probes, 1);
    EXPECT_LE(probes, int(1'000'000 / client::PROBE_INTERVAL_US) + 1);
}

}  // namespace
}  // namespace kiv::test
