// The direct path between two ends of a room: a pure state machine that, given both ends'
// candidate addresses and a secret of the session (exchanged through the room), probes the
// peer's candidates, moves to a direct path after a confirmed round trip, keeps it alive with
// heartbeats, falls back to the relay when they go unanswered and tries again later. It is
// handed datagrams and the time, and writes what to send and what happened into a buffer the
// caller owns; the caller's sockets carry it out. The relay path is never left: both ends stay
// in the room, so falling back needs nothing but sending through it again.
//
// What the two ends say to each other; numbers are little-endian:
//
//   offer      "KIVP" 0x01 version count 0 secret(16) {address(16) port(2)} x count
//                  24 + 18 x count bytes, through the room as the payload of a datagram
//   probe      "KIVP" 0x02 version flags 0 nonce(8) secret(16)   32 bytes, direct
//   answer     "KIVP" 0x03 version flags 0 nonce(8) secret(16)   32 bytes, direct
//   heartbeat  "KIVP" 0x05 version flags 0 nonce(8) secret(16)   32 bytes, direct
//   data       "KIVP" 0x04 version 0 0 payload                   8 bytes + payload, direct
//
// An address is 16 bytes, an IPv4 one as ::ffff:a.b.c.d. The nonce is the prober's: an answer
// carries the nonce of the probe or heartbeat it answers, and counts only from the address
// that probe went to. Flags bit 0 says the sender sends its data on this path. "KIVP" is
// neither the relay's "KIVR" nor a tunnel frame ("KIVT", or 0x03 and 0x04 first).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"

namespace kiv::client {

inline constexpr uint8_t PATH_MAGIC[4] = {'K', 'I', 'V', 'P'};
inline constexpr uint8_t PATH_VERSION = 1;
inline constexpr size_t SECRET_SIZE = 16;
inline constexpr int MAX_CANDIDATES = 8;
inline constexpr size_t OFFER_HEADER = 24;
inline constexpr size_t OFFER_CANDIDATE = 18;
inline constexpr size_t MAX_OFFER = OFFER_HEADER + OFFER_CANDIDATE * MAX_CANDIDATES;
inline constexpr size_t PROBE_SIZE = 32;
inline constexpr size_t PATH_DATA_HEADER = 8;

// While punching, every candidate is probed this often, for PUNCH_US at most.
inline constexpr uint64_t PROBE_INTERVAL_US = 100'000;
inline constexpr uint64_t PUNCH_US = 5'000'000;
// A direct path sends a heartbeat this often: far under the 30 s a NAT keeps an idle mapping,
// and often enough that a cut path is noticed within seconds.
inline constexpr uint64_t HEARTBEAT_US = 1'000'000;
// Without an answer for DOUBT_US data goes both ways; without one for FALLBACK_US the path is
// given up and data goes through the relay alone.
inline constexpr uint64_t DOUBT_US = 2'500'000;
inline constexpr uint64_t FALLBACK_US = 5'000'000;
// After a punch that found nothing, or a fallback, the next try comes this much later.
inline constexpr uint64_t PATH_RETRY_US = 30'000'000;
// Answers to probes of this many latest rounds count; older ones are stale.
inline constexpr uint32_t ROUND_HISTORY = 64;

static_assert(HEARTBEAT_US < DOUBT_US && DOUBT_US < FALLBACK_US,
              "a path is doubted after missed heartbeats and given up later still");
static_assert(HEARTBEAT_US * 10 < 30'000'000, "heartbeats keep a NAT's mapping open");
static_assert(ROUND_HISTORY * PROBE_INTERVAL_US >= 2 * HEARTBEAT_US,
              "an answer is still recognised after two heartbeats");
static_assert(MAX_OFFER <= 1400, "an offer fits in one room datagram");

using Secret = std::array<uint8_t, SECRET_SIZE>;

struct Candidates {
    std::array<Peer, MAX_CANDIDATES> peers{};
    int count = 0;
    bool add(const Peer& peer);  // false when full or already there
    int find(const Peer& peer) const;
};

struct Offer {
    Secret secret{};
    Candidates candidates;
};
// Writes `offer` into `out` (at least MAX_OFFER bytes); returns its length.
size_t offer_write(const Offer& offer, uint8_t* out);
// Whether `bytes` is an offer; reads it into `offer` when it is.
bool offer_read(const uint8_t* bytes, size_t length, Offer* offer);
// Whether a datagram is one of the direct path's (any of the types above).
bool is_path_datagram(const uint8_t* bytes, size_t length);
// Data for the direct path: the header, then the payload the caller copies after it.
void path_data_header(uint8_t* out);

enum class PathState : uint8_t { idle, punching, relayed, direct, doubt };

enum class PathActionKind : uint8_t {
    send,         // send bytes[0..length) to `to`
    went_direct,  // data now goes to `to`; rtt_us is the round trip that confirmed it
    fell_back,    // the direct path went unanswered; data goes through the relay alone
    gave_up,      // punching found no path; through the relay, tried again later
};

struct PathAction {
    PathActionKind kind;
    Peer to;
    uint64_t rtt_us;
    uint32_t length;
    uint8_t bytes[PROBE_SIZE];
};

// A round of probes to every candidate and a state change at most: what one input or tick can
// ask for.
inline constexpr size_t MAX_PATH_ACTIONS = MAX_CANDIDATES + 2;
struct PathActions {
    std::array<PathAction, MAX_PATH_ACTIONS> items;
    size_t count = 0;
    void clear() { count = 0; }
    PathAction& push(PathActionKind kind, const Peer& to);
};

// Where the caller sends its data now.
struct Route {
    bool relay;   // through the room, as always
    bool direct;  // and, or only, to `to`
    Peer to;
};

// What a datagram from outside the relay turned out to be.
struct PathInput {
    enum Kind : uint8_t { not_ours, dropped, control, data } kind;
    const uint8_t* payload;  // for data: the application's bytes
    size_t length;
};

class DirectPath {
  public:
    // Begins punching towards `peer` with `secret` at now_us.
    void start(const Candidates& peer, const Secret& secret, uint64_t now_us, PathActions* out);
    // Candidates the peer names after the punch began: probed at once, by a path that had
    // given up too.
    void learn(const Candidates& more, uint64_t now_us, PathActions* out);
    // Timers: probes, heartbeats, doubt, fallback and retries.
    void tick(uint64_t now_us, PathActions* out);
    // A datagram that did not come from the relay.
    PathInput receive(const uint8_t* bytes, size_t length, const Peer& from, uint64_t now_us,
                      PathActions* out);

    Route route() const;
    PathState state() const { return state_; }
    // Microseconds until tick() has something to do (0: now).
    uint64_t wait_us(uint64_t now_us) const;

  private:
    void probe_round(uint64_t now_us, PathActions* out);
    void send_probe(uint8_t type, const Peer& to, uint64_t nonce, PathActions* out) const;
    void on_probe(const uint8_t* bytes, const Peer& from, uint64_t now_us, PathActions* out);
    void on_answer(const uint8_t* bytes, const Peer& from, uint64_t now_us, PathActions* out);
    void begin_punch(uint64_t now_us);
    void give_up(PathActionKind kind, uint64_t now_us, PathActions* out);
    bool on_path() const { return state_ == PathState::direct || state_ == PathState::doubt; }

    PathState state_ = PathState::idle;
    Candidates peer_;
    Secret secret_{};
    Peer direct_;               // the confirmed address, in direct and doubt
    bool peer_direct_ = false;  // the peer said it sends to us directly
    uint32_t round_ = 0;        // probe rounds sent, heartbeats included
    std::array<uint64_t, ROUND_HISTORY> round_sent_us_{};
    uint64_t punch_until_us_ = 0;
    uint64_t next_send_us_ = 0;  // the next probe round or heartbeat
    uint64_t heard_us_ = 0;      // the last answer on the direct path
    uint64_t retry_us_ = 0;
};

}  // namespace kiv::client
