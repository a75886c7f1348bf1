// The relay's protocol logic as a deterministic core: it is given one datagram, its source
// and the clock reading, changes the room table and says what to send; log lines go to a
// sink. It never reads the clock, touches a socket or writes to stdout itself, so tests,
// fuzzers and benchmarks drive it with any time and any input they like.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/counters.hpp"
#include "relay/join_cookie.hpp"
#include "relay/limits.hpp"
#include "relay/open_gate.hpp"
#include "relay/rooms.hpp"
#include "wire/peer.hpp"

namespace kiv {

struct LogSink {
    void (*write)(void* context, const char* line);  // one line, without stamp or newline
    void* context;
};

// What one datagram asks the relay to send: the first `length` bytes of that datagram's own
// buffer, rewritten in place, to `to`. A length of 0 means nothing is sent. The address is a
// copy, so it stays right even when a later datagram clears the record it came from.
struct Outgoing {
    Peer to;
    uint32_t length;
};

class Relay {
  public:
    // The fixed hash key keeps runs reproducible; a relay facing the network passes a key
    // drawn from a source no peer can predict.
    static constexpr uint64_t FIXED_HASH_KEY = 0x9E3779B97F4A7C15ull;

    Relay(RandomSource random, LogSink log, uint64_t hash_key = FIXED_HASH_KEY)
        : table_(hash_key), limits_(hash_key, counters_), random_(random), log_(log) {}

    // `datagram` holds min(length, MAX_DATAGRAM) bytes; `length` is the datagram's real
    // length as it arrived, which may be larger.
    Outgoing handle(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms);

    // Forgets hosts and clients silent for more than TIMEOUT_MS at now_ms.
    void sweep(uint32_t now_ms);

    // Every limit is on unless switched off here (--limits off).
    void set_limits(LimitSwitches switches) { limits_.set(switches); }
    // --reflect: MSG_REFLECT is answered with the address the request came from.
    void set_reflect(bool on) { reflect_ = on; }
    bool reflects() const { return reflect_; }
    // With a gate that has a key, an open that would create a room needs a token.
    OpenGate& open_gate() { return open_gate_; }
    // With a key, a datagram that would join a room is answered with a challenge, and only a
    // MSG_JOIN that echoes its cookie joins (join_cookie.hpp). The key must outlive the relay.
    void validate_joins(const JoinCookieKey* key) { cookie_key_ = key; }
    bool validates_joins() const { return cookie_key_ != nullptr; }

    RoomTable& table() { return table_; }
    const RoomTable& table() const { return table_; }
    // The shell adds what only it sees (failed sends, kernel drops) to the same counters.
    Counters& counters() { return counters_; }
    const Counters& counters() const { return counters_; }

  private:
    friend struct SnapshotAccess;  // snapshot.cpp: carries the state across a hand-over
    Outgoing on_open(uint8_t* datagram, size_t length, RoomId requested, const Peer& source,
                     uint32_t now_ms);
    ErrorCode token_verdict(const uint8_t* payload, size_t length, uint32_t now_ms, RoomId* wanted,
                            uint32_t* fingerprint);
    void on_close(const Peer& source, uint32_t now_ms);
    Outgoing on_data(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms);
    Outgoing forward_to_client(Room& room, uint8_t* datagram, size_t length, const Peer& source,
                               uint32_t now_ms);
    Outgoing forward_to_host(Room& room, ClientSlot& slot, uint8_t* datagram, size_t length,
                             uint32_t now_ms);
    // A client's slot in the room it named, taken from outside it; no slot when refused.
    struct Entry {
        ClientSlot* slot;
        Room* room;
        Outgoing refusal;  // what to answer instead, when there is no slot
    };
    // `proven`: the source echoed a good cookie for `wanted`, so it is not challenged.
    Entry enter_room(uint8_t* datagram, RoomId wanted, ClientSlot* old_slot, const Peer& source,
                     uint32_t now_ms, bool proven = false);
    bool challenged(uint8_t* datagram, RoomId wanted, const Peer& source, uint64_t network,
                    uint32_t now_ms, Outgoing* challenge);
    Outgoing on_join(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms);
    bool outsider_allowed(RoomId wanted, bool moves, uint64_t network, uint32_t now_ms);
    void on_leave(const Peer& source, uint32_t now_ms);
    Outgoing on_reflect(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms);
    Outgoing refuse(uint8_t* datagram, const Peer& source, ErrorCode error);
    enum class CloseReason { host_closed, host_silent };
    void room_close(Room& room, CloseReason reason);
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));

    RoomTable table_;
    Counters counters_;
    Limits limits_;
    OpenGate open_gate_;
    const JoinCookieKey* cookie_key_ = nullptr;
    RandomSource random_;
    LogSink log_;
    bool reflect_ = false;
    uint32_t now_ms_ = 0;  // of the datagram or sweep being handled, for the log ceiling
};

}  // namespace kiv
