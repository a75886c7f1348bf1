// What the client library's state machines need of the network: datagrams of the relay's
// protocol out, well-formed ones in, read in batches. The socket link (link.hpp) is the one
// applications use; the in-memory one (memory_transport.hpp) serves the tests, which then
// drive a session datagram by datagram with no socket and no sleep.
//
// With direct paths on (use_direct), the transport also carries out what DirectRoutes
// decides: data to a peer with a confirmed path goes straight to it, and what arrives from
// anyone but the relay is shown to the session only when it is such a peer's data.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "client/direct_routes.hpp"
#include "client/errors.hpp"
#include "client/events.hpp"
#include "wire/peer.hpp"
#include "wire/protocol.hpp"

namespace kiv::client {

inline constexpr size_t MAX_PAYLOAD = MAX_DATAGRAM - HEADER_SIZE;
// Datagrams that send_batch hands to the system in one call.
inline constexpr size_t SEND_BATCH = 32;
// Datagrams read from the relay with one system call.
inline constexpr size_t RECEIVE_BATCH = 32;

// Where a session draws the values a spoofer must not guess (the first ping and join
// values); tests may hand one of their own.
using RandomSource = uint32_t (*)();
// A first value for pings and joins that a spoofer cannot guess, so that a forged pong is
// not taken for the relay's answer: the kernel's random source.
uint32_t unpredictable_start();

class Transport {
  public:
    struct Datagram {
        MsgType type;
        uint32_t value;  // as the type gives it meaning: room(), tag(), or a ping's value
        const uint8_t* payload;
        size_t length;
        bool direct;  // data that came on a direct path, not through the relay
        RoomId room() const { return RoomId(value); }
        Tag tag() const { return Tag(value); }
    };

    Error send_header(MsgType type, uint32_t value);
    Error send_datagram(MsgType type, uint32_t value, const void* payload, size_t length);
    // Up to SEND_BATCH datagrams of one type and value, each payload at most MAX_PAYLOAD
    // bytes; a batch over either bound is refused whole.
    Error send_datagrams(MsgType type, uint32_t value, const iovec* payloads, size_t count);
    // The next well-formed datagram from the relay, or false when none is waiting. Reads up
    // to RECEIVE_BATCH datagrams at once and hands them out one by one; once they are all out
    // it says false once, so that the caller waits again before their memory is reused.
    // With direct paths on it also says false when a path changed (path_event).
    bool receive(Datagram* datagram, uint64_t now_us);

    // Direct paths for a host (`host`) or a join; not_ready once a socket link holds its
    // socket.
    Error use_direct(bool on, bool host);
    bool direct() const { return routes_.on(); }
    // The direct paths' timers: probes, heartbeats, offers, keep-alives.
    void path_tick(uint64_t now_us);
    // A path went direct or back to the relay: the event for it.
    bool path_event(Event* event);
    // Microseconds until path_tick has something to do (UINT64_MAX: nothing).
    uint64_t path_wait_us(uint64_t now_us) const { return routes_.wait_us(now_us); }
    void path_joined(RoomId room) { routes_.joined(room); }
    void path_forget(Tag tag) { routes_.forget(tag); }

  protected:
    ~Transport() = default;
    // Whether datagrams can go out at all (a socket link without its socket cannot).
    virtual bool ready() const = 0;
    // One datagram to the relay: `header` (HEADER_SIZE bytes) then the payload.
    virtual Error write(const uint8_t* header, const void* payload, size_t length) = 0;
    // `count` datagrams to the relay, each `header` then one of the payloads.
    virtual Error write_batch(const uint8_t* header, const iovec* payloads, size_t count) = 0;
    // With direct paths on: `count` datagrams to `to`, each the path's data header
    // (PATH_DATA_HEADER bytes) then one of the payloads.
    virtual Error write_direct(const Peer& to, const uint8_t* header, const iovec* payloads,
                               size_t count) = 0;
    // With direct paths on: one datagram of `length` bytes to `to`.
    virtual Error write_to(const Peer& to, const uint8_t* bytes, size_t length) = 0;
    // The next datagram of the current read as it arrived (a longer one than MAX_DATAGRAM
    // shows longer), or false at the end of each read and when nothing is waiting. *from is
    // null for the relay's, else its sender (only with direct paths on).
    virtual bool read(const uint8_t** bytes, size_t* length, const Peer** from) = 0;
    // Whether direct paths may be turned on or off now.
    virtual bool direct_settable() const { return true; }
    // A join's secret for its direct paths, which no one else may guess: the kernel's random
    // source. False when there is none to be had.
    virtual bool draw_secret(Secret* secret);

    DirectRoutes routes_;

  private:
    Error send_routed(uint8_t* header, const iovec* payloads, size_t count);
    void carry_out_routes();
};

}  // namespace kiv::client
