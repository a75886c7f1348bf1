// Reading a fuzz input as a stream of events, and the peers those events come from.
//
// Layout of an input, event after event until the bytes run out:
//   op % 8 == 0..2     a datagram built field by field: source, type, version, flags,
//                      value mode [, value bytes], payload length code, payload pattern
//                      (see relay_fuzz.cpp); but op % 16 == 10 is:
//   op % 16 == 10      a coalesced run from one source: source, shape (segment size and
//                      count), how much shorter the last segment is, then for each segment
//                      type, version, flags, value mode [, value bytes], payload pattern
//   op % 8 == 3        a raw datagram: source, length (2 bytes, little-endian), then that
//                      many bytes (as many as the relay would keep)
//   op % 8 == 4        a clock step: one byte choosing 0, 1, 59999, 60000, 60001 ms or a
//                      jump to just before the 32-bit wrap of the millisecond clock
//   op % 8 == 5        a sweep
//   op % 8 == 6        a clock step then a sweep, as the relay's loop does
//   op % 16 == 7       a crowd: one byte, the number of extra hosts that open rooms (codes
//                      0xF0 and up: 250 to 265, enough to fill the table)
//   op % 16 == 15      a burst: one byte choosing a scan of ids from one source (then the
//                      source and a value per datagram), a rush of ten clients into one
//                      room, or the same rush into a room whose next tag is just short of
//                      the wrap (then the room and the first client's code)
// Room ids are drawn from the same stream, one byte per draw, when the relay asks for one:
// small values make ids collide with open rooms as often as the input likes. When the input
// is spent, reads return 0 and draws come from a fixed sequence, so every run ends.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "ipv4.hpp"
#include "relay/rooms.hpp"
#include "wire/peer.hpp"

namespace kiv::fuzz {

class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool done() const { return position_ >= size_; }
    uint8_t byte() { return done() ? 0 : data_[position_++]; }
    uint16_t le16() { return uint16_t(byte() | byte() << 8); }
    uint32_t le32() { return uint32_t(le16()) | uint32_t(le16()) << 16; }
    // Copies up to `count` bytes into `out` and returns how many there were.
    size_t bytes(uint8_t* out, size_t count) {
        size_t taken = 0;
        while (taken < count && !done())
            out[taken++] = data_[position_++];
        return taken;
    }

    // A value for the relay's random source, in 0..RAND_MAX like rand().
    int draw() {
        if (!done()) return byte();
        // Once the input is spent, a fixed full-range sequence: it reaches every id, so the
        // relay's search for an unused one always ends.
        fallback_ = fallback_ * 1103515245u + 12345u;
        return int(fallback_ >> 1);
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
    uint32_t fallback_ = 1;
};

// Sixteen peers: four IPv4 addresses with four ports each, so peers that share an address
// differ by port alone. Bit 4 of `code` gives the same peer with other bytes in the
// address's padding, as a kernel may write it, which must still count as the same peer.
// Bits 5 and 6 pick the family: 0 that IPv4 peer, 1 the same peer as a dual-stack socket
// writes it (::ffff:a.b.c.d), 2 and 3 sixteen IPv6 peers (2001:db8::1 and ::2 in one /64), a flow
// label in bit 4.
inline Peer peer_address(uint8_t code) {
    static constexpr uint32_t IPS[4] = {0xC0000201, 0xC0000202, 0xC6336407, 0x7F000001};
    static constexpr uint16_t PORTS[4] = {40000, 40001, 0, 65535};
    static const char* const IPV6[4] = {"2001:db8::1", "2001:db8::2", "2001:db8:0:1::7", "::1"};
    Peer peer = Peer::ipv4(IPS[(code >> 2) & 3], PORTS[code & 3]);
    switch ((code >> 5) & 3) {
        case 1:
            peer = test::mapped(peer);
            break;
        case 2:
        case 3:
            peer = test::make_addr(IPV6[(code >> 2) & 3], PORTS[code & 3]);
            break;
        default:
            break;
    }
    return (code & 0x10) ? test::with_other_padding(peer) : peer;
}

}  // namespace kiv::fuzz
