// Talking to a kiv relay from an application: a Host opens a room and exchanges datagrams
// with its clients by tag; a Client joins a room by id and exchanges datagrams with the host;
// a Pinger checks that a relay answers.
//
// Everything is non-blocking and single-threaded. Each endpoint owns one UDP socket; wait on
// fd() for reading (poll, epoll, an existing event loop) for at most wait_ms(now) and then
// call next_event(now) until it returns EventKind::none. The caller supplies the time (any
// monotonic microsecond count, see monotonic_us()), so retries and keep-alives are driven by
// the clock the caller chooses and tests can step through minutes at once. No call allocates.
// What one wake-up brought is read with one system call (up to RECEIVE_BATCH datagrams);
// each received payload is handed out as a view of the endpoint's own buffer, and all the
// payloads handed out since the last EventKind::none stay valid until the next call after
// the none that follows them, so a caller can pass a whole batch on with one call of its own.
//
// A relay that restarts forgets every room. A Host that was open and a Client that was in
// a room then report EventKind::lost and try to get back for up to RELAY_TIMEOUT_US: the host
// asks for its room again, the client re-joins once it is there, and each reports opened or
// joined again when it has (or refused / timed_out when it gives up). The same happens when
// the relay stops answering.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/roster.hpp"
#include "net/segments.hpp"
#include "wire/peer.hpp"
#include "wire/protocol.hpp"
#include "wire/values.hpp"

namespace kiv::client {

inline constexpr size_t MAX_PAYLOAD = MAX_DATAGRAM - HEADER_SIZE;
// The relay forgets a peer silent for TIMEOUT_MS; half of that leaves room for one lost
// datagram.
inline constexpr uint64_t KEEPALIVE_US = uint64_t(TIMEOUT_MS) * 1000 / 2;
// Requests that need an answer (open, join, ping) are re-sent this often until answered.
inline constexpr uint64_t RETRY_US = 1'000'000;
inline constexpr uint64_t DEFAULT_ANSWER_TIMEOUT_US = 5'000'000;
// The longest open token a Host carries (the relay's tokens are 41 bytes).
inline constexpr size_t MAX_OPEN_TOKEN = 64;
// Datagrams that send_batch hands to the system in one call.
inline constexpr size_t SEND_BATCH = 32;
// Datagrams read from the relay with one system call.
inline constexpr size_t RECEIVE_BATCH = 32;
// How long an endpoint that lost the relay or its place keeps trying: as long as the relay
// itself would keep a silent peer, so that a restart within that time is survived.
inline constexpr uint64_t RELAY_TIMEOUT_US = uint64_t(TIMEOUT_MS) * 1000;
// A host asks for its room this often: a restarted relay has it again within this time of
// coming back, and the host's clients can re-join. One datagram each way per interval.
inline constexpr uint64_t HOST_KEEPALIVE_US = 2'000'000;
// An answer awaited this long after a keep-alive or probe means the relay is lost.
inline constexpr uint64_t LOST_AFTER_US = 3'000'000;
// A joined client that has heard nothing from the relay for this long sends its empty
// keep-alive then (and as often while the silence lasts) instead of waiting KEEPALIVE_US: a
// relay that restarted answers it with no such room, or lets it back into the room its host
// opened again, where the host hears from it; a client that only receives would otherwise
// not be heard of for half a minute. At most one datagram each way per interval.
inline constexpr uint64_t QUIET_KEEPALIVE_US = 2'000'000;

enum class Error : uint8_t {
    none,
    // Refusals sent by the relay, one per error value it defines.
    no_room,
    room_full,
    no_free_room,
    bad_version,
    not_allowed,      // the relay opens rooms only with a good open token
    unknown_refusal,  // an error value this library does not know
    // Found by the library itself.
    timed_out,  // the relay did not answer within the time allowed
    too_large,  // payload longer than MAX_PAYLOAD
    too_many,   // more than SEND_BATCH payloads in one call
    bad_tag,    // a tag outside 1..65535
    bad_room,   // a room id outside 1..2^25
    not_ready,  // not open / not joined / not connected yet
    system,     // a socket call failed; system_errno() tells why
};

// A short text for people: "no such room", "room is full", ...
const char* error_text(Error error);
Error error_from_wire(uint32_t value);

enum class EventKind : uint8_t {
    none,       // nothing to report now
    opened,     // Host: the room is open; room is its id (again after a change of id)
    joined,     // Client: the relay confirmed the join to room
    data,       // a datagram; at a Host, tag is its sender
    pong,       // Pinger: round_trip_us is the round trip
    refused,    // the relay sent an error; see error
    timed_out,  // a request went unanswered; error is Error::timed_out
    // Host: tag spoke for the first time; its datagram is delivered next.
    client_joined,
    // Host: tag was silent for longer than the relay keeps a client, so the relay has
    // forgotten it too (see Roster).
    client_left,
    // Host or Client: the relay no longer knows the room or the place in it (error no_room)
    // or stopped answering (error timed_out); the endpoint is trying to get back, see above.
    lost,
};

struct Event {
    EventKind kind = EventKind::none;
    Error error = Error::none;
    RoomId room;                       // opened, joined, lost
    Tag tag;                           // data at a Host, client_joined, client_left
    uint32_t round_trip_us = 0;        // pong
    const uint8_t* payload = nullptr;  // for data; valid as the comment at the top says
    size_t length = 0;
};

// A monotonic clock in microseconds, for callers that have none of their own.
uint64_t monotonic_us();
// A first value for pings and joins that a spoofer cannot guess, so that a forged pong is
// not taken for the relay's answer.
uint32_t unpredictable_start();

// The socket and buffers every endpoint shares.
class Link {
  public:
    Link() = default;
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Creates the socket and fixes the relay as its only peer: datagrams from anyone else
    // are never delivered to it. On failure the endpoint holds no socket.
    Error connect(const Peer& relay);
    // Takes over a datagram socket that already reaches the relay and nothing else (one end
    // of a socketpair in tests, a socket the application set up itself) and makes it
    // non-blocking; the endpoint closes it.
    Error attach(int fd);
    int fd() const { return fd_; }
    int system_errno() const { return system_errno_; }

    // Memory an endpoint may be lent for reading many datagrams at once.
    struct alignas(64) CoalescedSlot {
        uint8_t bytes[COALESCED_SLOT];
    };
    // Lends the endpoint `count` slots (kept by the caller while the endpoint lives; 0 takes
    // them back) to read what the relay sent as one segmented send as one buffer, cut here
    // into its datagrams: a buffer and a part of a system call for a run, not for each
    // datagram, which is what a busy host or client saves. On a kernel that cannot, or a
    // socket that is not UDP, datagrams are read one to a buffer as without it. Applies to
    // the socket now held and to any that connect() makes.
    void coalesce_receives(CoalescedSlot* slots, size_t count);

  protected:
    struct Datagram {
        MsgType type;
        uint32_t value;  // as the type gives it meaning: room(), tag(), or a ping's value
        const uint8_t* payload;
        size_t length;
        RoomId room() const { return RoomId(value); }
        Tag tag() const { return Tag(value); }
    };

    Error send_header(MsgType type, uint32_t value);
    Error send_datagram(MsgType type, uint32_t value, const void* payload, size_t length);
    // Up to SEND_BATCH datagrams of one type and value with one system call. Runs of payloads
    // of one length go to the kernel as one segmented send each: the relay receives the same
    // datagrams, for about the cost of one.
    Error send_datagrams(MsgType type, uint32_t value, const iovec* payloads, size_t count);
    // The next well-formed datagram from the relay, or false when none is waiting. Reads
    // with one system call up to RECEIVE_BATCH datagrams and hands them out one by one; once
    // they are all out it says false once, so that the caller waits again before the buffers
    // are reused.
    bool receive(Datagram* datagram);

  private:
    size_t fill();
    void apply_coalescing();
    Error send_one_by_one(MsgType type, uint32_t value, const msghdr& run);

    int fd_ = -1;
    int system_errno_ = 0;
    // Cleared for good when the kernel or the route to the relay refuses a segmented send.
    bool segmentation_works_ = true;
    size_t received_ = 0;  // buffers the last read filled
    size_t handed_ = 0;    // of which handed out
    size_t offset_ = 0;    // in a coalesced buffer, where its next datagram starts
    CoalescedSlot* coalesced_slots_ = nullptr;
    size_t coalesced_count_ = 0;
    bool coalescing_ = false;  // the socket now held coalesces into the lent slots
    std::array<SegmentSizeControl, RECEIVE_BATCH> controls_{};
    std::array<mmsghdr, RECEIVE_BATCH> headers_{};
    std::array<iovec, RECEIVE_BATCH> parts_{};
    // One byte more than the relay ever sends, so a longer datagram shows and is dropped.
    std::array<std::array<uint8_t, MAX_DATAGRAM + 1>, RECEIVE_BATCH> buffers_{};
};

// A request re-sent every RETRY_US until it is answered or its time is up.
class Retry {
  public:
    enum class Step : uint8_t { wait, resend, expired };
    void start(uint64_t now_us, uint64_t timeout_us);
    void stop() { active_ = false; }
    bool active() const { return active_; }
    Step step(uint64_t now_us);
    uint64_t next_us() const { return next_send_us_ < deadline_us_ ? next_send_us_ : deadline_us_; }

  private:
    bool active_ = false;
    uint64_t deadline_us_ = 0;
    uint64_t next_send_us_ = 0;
};

// Milliseconds from now_us until due_us, rounded up, for poll(); 0 when already due.
int wait_ms_until(uint64_t now_us, uint64_t due_us);

class Host : public Link {
  public:
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
    // Ends the room. The relay does not answer; its clients find out on their next datagram.
    Error close();

    Event next_event(uint64_t now_us);
    int wait_ms(uint64_t now_us) const;
    State state() const { return state_; }
    RoomId room_id() const { return room_id_; }

  private:
    Event tick(uint64_t now_us);
    Error send_open();
    Event from_client(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us);
    void end_room();
    Event lose(uint64_t now_us, uint64_t give_up_us, Error why);

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
    // the link's buffer, as nothing is received until it is delivered.
    Tag held_tag_;
    const uint8_t* held_payload_ = nullptr;
    size_t held_length_ = 0;
    // In another room, every tag of the last one is reported left before anything else.
    bool forgetting_ = false;
};

class Client : public Link {
  public:
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
    // Gives up the slot. The relay does not answer.
    Error leave();

    Event next_event(uint64_t now_us);
    int wait_ms(uint64_t now_us) const;
    State state() const { return state_; }
    RoomId room_id() const { return room_id_; }

  private:
    Error send_join(uint64_t now_us);
    Event tick(uint64_t now_us);
    Event lose(uint64_t now_us, uint64_t give_up_us, Error why);

    State state_ = State::idle;
    RoomId room_id_;
    uint32_t join_nonce_ = unpredictable_start();
    // The join attempt a refusal answered: its pong does not mean the join went through.
    uint32_t refused_nonce_ = 0;
    uint64_t last_sent_us_ = 0;
    uint64_t last_heard_us_ = 0;
    uint64_t next_probe_us_ = 0;
    Error lost_why_ = Error::none;
    Retry answer_;
};

class Pinger : public Link {
  public:
    // Starts one probe, re-sent every RETRY_US until a pong or timeout_us. Answered by a pong
    // or timed_out event. A pong to an earlier probe is ignored.
    Error start(uint64_t now_us, uint64_t timeout_us = DEFAULT_ANSWER_TIMEOUT_US);

    Event next_event(uint64_t now_us);
    int wait_ms(uint64_t now_us) const;

  private:
    Error send_ping(uint64_t now_us);

    // Every attempt carries its own value, so a late pong is timed from the attempt it
    // answers; the send times of the latest attempts are kept in a ring.
    static constexpr uint32_t ATTEMPTS_KEPT = 64;
    std::array<uint64_t, ATTEMPTS_KEPT> sent_us_{};
    uint32_t next_value_ = unpredictable_start();
    uint32_t probe_first_value_ = next_value_;
    Retry answer_;
};

}  // namespace kiv::client
