// A client's side of a room as a state machine: it joins by id, keeps its place, and joins
// again after the relay restarts. It is handed the transport it sends and reads through, a
// random source for its join values, and the time with every call.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "client/events.hpp"
#include "client/host_check.hpp"
#include "client/retry.hpp"
#include "client/transport.hpp"
#include "wire/values.hpp"

namespace kiv::client {

class ClientSession {
  public:
    // `random` gives the first join value.
    explicit ClientSession(Transport& transport, RandomSource random = unpredictable_start)
        : transport_(transport), join_nonce_(random()) {}

    // rejoining: the relay lost the room or the place, or stopped answering; the client
    // joins again every RETRY_US. What the application sends meanwhile is not sent
    // (not_ready): each datagram to a room the relay does not know costs the sender's
    // address a lookup from its budget, which the re-joins need.
    enum class State : uint8_t { idle, joining, joined, rejoining };

    // Joins by sending an empty datagram to the room and confirms it with a ping: the relay
    // handles a peer's datagrams in order, so a pong with no error before it means the join
    // went through. Answered by a joined, refused or timed_out event. Once joined, a relay
    // silent for KEEPALIVE_US is pinged every RETRY_US.
    Error join(RoomId room_id, uint64_t now_us, uint64_t timeout_us = DEFAULT_ANSWER_TIMEOUT_US);
    Error send(const void* payload, size_t length, uint64_t now_us);
    // As Host::send_batch, to the host.
    Error send_batch(const iovec* payloads, size_t count, uint64_t now_us);
    // Direct paths (off by default): data to a host that turned them on too goes straight
    // to it once a round trip confirmed the way (path_direct and path_relayed events). Set
    // before connect() on a socket link; not_ready after.
    Error set_direct(bool on) { return transport_.use_direct(on, false); }
    // Gives up the slot. The relay does not answer.
    Error leave();
    // Whether the client makes sure that it stays with the host it joined first
    // (host_check.hpp): off by default. With it, another host's answer ends the join
    // (refused, other_host); a known host silent for 5 s loses the place (lost: no_host, or
    // timed_out when the relay is silent too); and a re-join ends in joined only once that
    // host has answered, in refused (no_host) when it does not: meanwhile sends are not_ready
    // and the host's datagrams are dropped. Takes effect at the next join.
    void check_host(bool on) { host_check_.enable(on); }

    Event next_event(uint64_t now_us);
    int wait_ms(uint64_t now_us) const;
    State state() const { return state_; }
    RoomId room_id() const { return room_id_; }

  private:
    Error send_join(uint64_t now_us);
    void hold(const void* payload, size_t length);
    void answer_challenge(uint32_t cookie, uint64_t now_us);
    Event from_host(const uint8_t* payload, size_t length, uint64_t now_us);
    Event check_tick(uint64_t now_us);
    Event tick(uint64_t now_us);
    Event lose(uint64_t now_us, uint64_t give_up_us, Error why);

    Transport& transport_;
    State state_ = State::idle;
    RoomId room_id_;
    uint32_t join_nonce_;
    // The join attempt a refusal answered: its pong does not mean the join went through.
    uint32_t refused_nonce_ = 0;
    uint64_t last_sent_us_ = 0;
    uint64_t last_heard_us_ = 0;
    uint64_t next_probe_us_ = 0;
    Error lost_why_ = Error::none;
    Retry answer_;
    // A relay that validates joins holds back a datagram that would join and challenges
    // it; the session sends it again after the echo. The last MSG_DATA sent is kept for that.
    uint8_t unjoined_[MAX_PAYLOAD];
    size_t unjoined_length_ = 0;
    // An echo is out and its pong not yet in: challenges until then answer datagrams sent
    // before it, and get no echo of their own.
    bool echoed_ = false;
    HostCheck host_check_;
};

}  // namespace kiv::client
