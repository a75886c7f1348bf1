// A host's side of a room as a state machine: it opens the room, keeps it, gets it back after
// the relay restarts, and tells its clients apart by tag. It is handed the transport it sends
// and reads through, and the time with every call.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "client/events.hpp"
#include "client/retry.hpp"
#include "client/roster.hpp"
#include "client/transport.hpp"
#include "wire/values.hpp"

namespace kiv::client {

// The longest open token a Host carries (the relay's tokens are 41 bytes).
inline constexpr size_t MAX_OPEN_TOKEN = 64;

class HostSession {
  public:
    explicit HostSession(Transport& transport) : transport_(transport) {}

    // reopening: the relay lost the room or stopped answering; the host asks for it again.
    enum class State : uint8_t { idle, opening, open, reopening, closed };

    // Asks for a room: requested_id 0 for any, or the id wanted (the relay gives another one
    // if it is taken). Answered by an opened, refused or timed_out event. Once open, the
    // room is asked for again every HOST_KEEPALIVE_US.
    Error open(RoomId requested_id, uint64_t now_us,
               uint64_t timeout_us = DEFAULT_ANSWER_TIMEOUT_US);
    // The open token every open (and keep-alive, which may have to open the room again)
    // carries as its payload, for a relay that lets only the operator's hosts open rooms;
    // none by default. At most MAX_OPEN_TOKEN bytes, else too_large.
    Error set_open_token(const uint8_t* token, size_t length);
    // now_us as Client::send takes it, so that code driving either endpoint sends alike; a
    // host keeps no time by its sends today (its room is kept alive by open alone).
    Error send(Tag tag, const void* payload, size_t length, uint64_t now_us);
    // Several datagrams to one client at the cost of one: up to SEND_BATCH payloads, each
    // at most MAX_PAYLOAD bytes (a longer one fails the whole call with too_large, more
    // than SEND_BATCH with too_many).
    Error send_batch(Tag tag, const iovec* payloads, size_t count, uint64_t now_us);
    // Direct paths (off by default): data to a client that turned them on too goes straight
    // to it once a round trip confirmed the way (path_direct and path_relayed events). Set
    // before connect() on a socket link; not_ready after.
    Error set_direct(bool on) { return transport_.use_direct(on, true); }
    // Ends the room. The relay does not answer; its clients find out on their next datagram.
    Error close();
    // Names this host to clients that check who their host is (host_check.hpp): their
    // questions are answered with `identity` and never reach the application. 0, the
    // default, names none and passes questions on as data. A host that keeps its identity
    // across its own restarts stays the same host to its clients.
    void set_identity(uint64_t identity) { identity_ = identity; }

    Event next_event(uint64_t now_us);
    int wait_ms(uint64_t now_us) const;
    State state() const { return state_; }
    RoomId room_id() const { return room_id_; }

  private:
    Event tick(uint64_t now_us);
    Error send_open();
    Event from_client(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us);
    bool answered_question(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us);
    void end_room();
    Event lose(uint64_t now_us, uint64_t give_up_us, Error why);
    Event forgotten(const Event& event);

    Transport& transport_;
    State state_ = State::idle;
    RoomId room_id_;  // once open; before, the id asked for
    uint64_t timeout_us_ = DEFAULT_ANSWER_TIMEOUT_US;
    uint64_t keepalive_due_us_ = 0;
    uint64_t last_heard_us_ = 0;
    Retry answer_;
    uint8_t open_token_[MAX_OPEN_TOKEN] = {};
    size_t open_token_length_ = 0;
    Roster roster_;
    // A datagram from a new tag, held back while the tag is announced; its payload stays in
    // the transport's buffer, as nothing is received until it is delivered.
    Tag held_tag_;
    const uint8_t* held_payload_ = nullptr;
    size_t held_length_ = 0;
    // In another room, every tag of the last one is reported left before anything else.
    bool forgetting_ = false;
    uint64_t identity_ = 0;
};

}  // namespace kiv::client
