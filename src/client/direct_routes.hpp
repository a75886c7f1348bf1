// Which way an endpoint's data goes when direct paths are on: a pure machine between a
// session and its transport. It asks the relay where it sees this end (MSG_REFLECT), trades
// offers with the other end through the room, runs a DirectPath per peer (a host: one per
// tag; a join: one, towards its host) and says, for each datagram the session sends, whether
// it goes through the relay, directly, or both. Datagrams from anyone but the relay come to
// it; only data on a confirmed path comes out, as if the relay had forwarded it. Offers and
// reflections never reach the session. It is handed bytes and the time, and leaves what to
// send and what happened in buffers the transport empties after each call.
//
// Nobody's addresses go to an end that did not ask for direct paths: a join first offers the
// session's secret alone (an offer of no candidates); a host that takes direct paths answers
// with its own candidates, and only then does the join name its own. A host without the
// setting sees a few offers of no candidates as data, and nothing else; a join without it
// sees nothing, as a host offers only in answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/direct_path.hpp"
#include "wire/peer.hpp"
#include "wire/protocol.hpp"
#include "wire/values.hpp"

namespace kiv::client {

// The relay is asked where it sees this end this many times, a second apart; a relay without
// --reflect never answers, and the local address alone is offered.
inline constexpr int REFLECT_TRIES = 3;
// A join offers, first the secret alone and then its candidates, this many times each, a
// second apart, until the host answers; a host that does not take direct paths sees each
// offer of the secret as data, so they are few.
inline constexpr int OFFER_TRIES = 5;
inline constexpr uint64_t TRY_EVERY_US = 1'000'000;
// The relay forgets a client whose data it has not seen for a minute; while a join's data goes
// directly, it keeps its place (and so its tag) with an offer of its secret this often.
inline constexpr uint64_t PLACE_KEEPALIVE_US = 20'000'000;
// Every offer names the addresses a host then probes, so a member of the room could aim the
// host's probes at anyone by offering fresh secrets in a stream. A tag's offer starts a new
// punch at most this often: the host probes at most MAX_CANDIDATES addresses for each of its
// clients at a time, at the pace of one punch.
inline constexpr uint64_t OFFER_RESTART_US = PUNCH_US;
static_assert(PLACE_KEEPALIVE_US * 2 < uint64_t(TIMEOUT_MS) * 1000, "one keep-alive may be lost");

// Something the session reports as an event.
struct PathChange {
    bool direct;     // went direct; else went back to the relay alone
    bool fell_back;  // back to the relay because a direct path went silent (not a punch)
    Tag tag;         // at a host, whose path
    uint64_t rtt_us;
    Peer to;  // went direct: the peer's address
};

// A datagram to send: to the relay when `to` is not set.
struct RouteSend {
    Peer to;
    uint32_t length;
    uint8_t bytes[HEADER_SIZE + MAX_OFFER];
};

// What a datagram from outside the relay was: data of a confirmed path (its sender's tag at
// a host) or nothing the session sees.
struct PeerArrival {
    bool data;
    Tag tag;
    const uint8_t* payload;
    size_t length;
};

class DirectRoutes {
  public:
    static constexpr size_t MAX_SENDS = size_t(MAX_CLIENTS) * MAX_PATH_ACTIONS + 4;
    static constexpr size_t MAX_CHANGES = 2 * size_t(MAX_CLIENTS);

    // Turns direct paths on for a host or a join; a join offers `secret`. Off again forgets
    // every path.
    void configure(bool on, bool host, const Secret& secret);
    // The address this end sends from towards the relay, its first candidate.
    void set_local(const Peer& local);
    bool on() const { return on_; }

    // A join is in `room` (again): it offers through it.
    void joined(RoomId room);
    // A host's client is gone: its path is given up.
    void forget(Tag tag);

    // A well-formed datagram of the relay's; true when it was this machine's (a reflection,
    // an offer) and is not the session's.
    bool from_relay(const uint8_t* bytes, size_t length, uint64_t now_us);
    PeerArrival from_peer(const uint8_t* bytes, size_t length, const Peer& from, uint64_t now_us);
    // Where data to `value` (a host: the tag; a join: its room) goes now.
    Route route(uint32_t value) const;
    // Data went through the relay since the last tick (it keeps a join's place).
    void relay_data_sent() { relay_data_sent_ = true; }
    // A join's empty datagram to `value`, its room, which keeps its place there. While its
    // data goes direct it goes as an offer of the secret instead (true: sent so), which tells
    // the host the join's tag should a restarted relay have given it a new one.
    bool keep_place(uint32_t value);
    void tick(uint64_t now_us);
    // Microseconds until tick() has something to do; UINT64_MAX when off.
    uint64_t wait_us(uint64_t now_us) const;

    size_t send_count() const { return send_count_; }
    const RouteSend& send(size_t index) const { return sends_[index]; }
    void clear_sends() { send_count_ = 0; }
    bool has_change() const { return change_first_ < change_count_; }
    PathChange take_change();

  private:
    struct Session {
        Tag tag;  // at a host: whose; at a join: unused
        Secret secret{};
        DirectPath path;
        uint64_t punched_us = 0;  // at a host: when this tag's offer last started a punch
        bool told = false;        // at a host: the join named its candidates
    };
    Session* session_for(Tag tag);
    const Session* session_for(Tag tag) const;
    void on_offer(Tag tag, const Offer& offer, uint64_t now_us);
    void send_offer(uint32_t value, const Secret& secret, bool with_candidates);
    void carry_out(const Session& session);
    RouteSend& push_send(const Peer& to, size_t length);
    bool trying() const;

    bool on_ = false;
    bool host_ = false;
    Candidates own_;
    Secret secret_{};  // a join's
    bool reflected_ = false;
    int reflect_tries_ = 0;
    uint64_t next_try_us_ = 0;
    RoomId room_;  // a join's, once joined
    int offers_sent_ = 0;
    bool answered_ = false;   // the host answered the secret: the join names its candidates
    bool confirmed_ = false;  // and answered those too
    bool relay_data_sent_ = false;
    uint64_t relay_data_us_ = 0;
    std::array<Session, MAX_CLIENTS> sessions_{};
    PathActions actions_;
    std::array<RouteSend, MAX_SENDS> sends_;
    size_t send_count_ = 0;
    std::array<PathChange, MAX_CHANGES> changes_{};
    size_t change_first_ = 0;
    size_t change_count_ = 0;
};

}  // namespace kiv::client
