// Fuzz target for the direct path machine and the offer parser: any run of ticks and of
// datagrams from the peer's candidates or a stranger (replies to what the machine sent, with
// bytes changed, or raw) keeps its rules: data and answers count only from where they may.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/direct_path.hpp"

namespace {

using namespace kiv;
using namespace kiv::client;

[[noreturn]] void fail(const char* fault) {
    fprintf(stderr, "direct_path_fuzz: %s\n", fault);
    abort();
}

struct Input {
    const uint8_t* data;
    size_t size, at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
};

// Two candidates of the peer, who knows the secret (zeros), and a stranger, who does not.
const Peer PEERS[3] = {Peer::from_text("192.168.1.2", 5000), Peer::from_text("203.0.113.12", 5000),
                       Peer::from_text("203.0.113.66", 5000)};

// Sends go to the relay, or to a confirmed address of the peer's.
void check(const DirectPath& path) {
    Route route = path.route();
    bool on_path = path.state() == PathState::direct || path.state() == PathState::doubt;
    if (route.direct != on_path || (!route.relay && !route.direct)) fail("a route to nowhere");
    if (route.direct && route.to == PEERS[2]) fail("a direct path to a stranger");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    Offer offer;
    offer_read(data, size, &offer);  // the parser, on the raw input
    uint8_t last[PROBE_SIZE] = {};
    Candidates candidates;
    candidates.add(PEERS[0]);
    candidates.add(PEERS[1]);
    DirectPath path;
    PathActions out;
    uint64_t now_us = 0;
    path.start(candidates, Secret{}, now_us, &out);
    while (in.at < in.size) {
        const PathAction& latest = out.items[out.count > 0 ? out.count - 1 : 0];
        if (out.count > 0 && latest.kind == PathActionKind::send)
            memcpy(last, latest.bytes, PROBE_SIZE);
        out.clear();
        uint8_t op = in.next();
        if (op % 3 == 0) {
            now_us += uint64_t(in.next()) << (op % 24);
            path.tick(now_us, &out);
        } else {
            uint8_t bytes[64] = {};
            memcpy(bytes, last, PROBE_SIZE);
            size_t length = op % 3 == 1 ? PROBE_SIZE : in.next() % sizeof bytes;
            bytes[4] = in.next() % 6;
            uint8_t at = in.next() % sizeof bytes;
            bytes[at] ^= in.next();
            const Peer& from = PEERS[(op >> 2) % 3];
            if (from == PEERS[2]) bytes[16] |= 1;
            PathInput got = path.receive(bytes, length, from, now_us, &out);
            if (got.kind == PathInput::data && !(path.route().to == from)) {
                fail("data taken from an address not confirmed");
            }
        }
        check(path);
    }
    return 0;
}
