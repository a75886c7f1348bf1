// What the client library's state machines need of the network: datagrams of the relay's
// protocol out, well-formed ones in, read in batches. The socket link (link.hpp) is the one
// applications use; the in-memory one (memory_transport.hpp) serves the tests, which then
// drive a session datagram by datagram with no socket and no sleep.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "client/errors.hpp"
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
    bool receive(Datagram* datagram);

  protected:
    ~Transport() = default;
    // Whether datagrams can go out at all (a socket link without its socket cannot).
    virtual bool ready() const = 0;
    // One datagram: `header` (HEADER_SIZE bytes) then the payload.
    virtual Error write(const uint8_t* header, const void* payload, size_t length) = 0;
    // `count` datagrams, each `header` then one of the payloads.
    virtual Error write_batch(const uint8_t* header, const iovec* payloads, size_t count) = 0;
    // The next datagram of the current read as it arrived (a longer one than MAX_DATAGRAM
    // shows longer), or false at the end of each read and when nothing is waiting.
    virtual bool read(const uint8_t** bytes, size_t* length) = 0;
};

}  // namespace kiv::client
