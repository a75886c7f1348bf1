// One relay core driven as the shell drives it, for the core's unit tests: a datagram from a
// source at the harness's clock, a room opened, the clock stepped, and what the core sends
// and logs collected.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core_doubles.hpp"
#include "datagram.hpp"
#include "relay/relay.hpp"

namespace kiv::test {

// What the core sends for one datagram: to whom, and the bytes as they leave.
struct Sent {
    Peer to;
    Bytes bytes;
    MsgType type() const { return type_of(bytes); }
    uint32_t value() const { return value_of(bytes); }
};

class CoreHarness {
  public:
    explicit CoreHarness(ScriptedRandom script = ScriptedRandom::seeded(1),
                         uint32_t start_ms = 5000)
        : random(std::move(script)), now(start_ms) {}
    CoreHarness(const CoreHarness&) = delete;  // the core holds pointers to the doubles
    CoreHarness& operator=(const CoreHarness&) = delete;

    // Hands the first `length` bytes of `datagram` (all of it when 0) to the core, in a buffer
    // as large as the shell's; the core rewrites it in place and says how much to send.
    std::optional<Sent> deliver(const Peer& from, Bytes datagram, size_t length = 0) {
        if (length == 0) length = datagram.size();
        datagram.resize(std::max(datagram.size(), MAX_DATAGRAM + 1));
        Outgoing out = relay.handle(datagram.data(), length, from, now);
        if (out.length == 0) return sent = std::nullopt;
        EXPECT_LE(out.length, length);
        return sent = Sent{out.to, Bytes(datagram.begin(), datagram.begin() + out.length)};
    }
    // The type of what the core sends, or nothing when it drops the datagram; the datagram
    // itself stays in `sent`.
    std::optional<MsgType> send(const Peer& from, MsgType type, uint32_t value,
                                const Bytes& payload = {}) {
        if (!deliver(from, datagram(type, value, payload))) return std::nullopt;
        return sent->type();
    }
    uint32_t open_room(const Peer& host, uint32_t requested = 0) {
        EXPECT_EQ(send(host, MSG_OPEN, requested), MSG_OPENED);
        return sent ? sent->value() : 0;
    }
    void sweep() { relay.sweep(now); }
    std::vector<std::string> take_log() { return log.take(); }
    size_t lines() const { return log.lines().size(); }

    LogCollector log;
    ScriptedRandom random;
    uint32_t now;
    Relay relay{random.source(), log.sink()};
    std::optional<Sent> sent;  // of the last datagram delivered
};

}  // namespace kiv::test
