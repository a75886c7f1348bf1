// What the two ends of a tunnel (kiv join --listen and kiv host --forward) say to each other
// inside the room's datagrams. To the relay it is all payload; the room's protocol is not
// touched.
//
// A join says hello once it holds a place in the room, and a kiv host answers it; a peer
// that never says hello is a plain client (or a plain host) and gets raw datagrams, byte for
// byte. Between two kiv ends every datagram is a frame:
//
//   hello   "KIVT" 0x01 version identity       14 bytes, join -> host
//   welcome "KIVT" 0x02 version identity binding host
//                                               24 bytes, host -> join, the hello's identity
//   who     "KIVT" 0x05 version 0 (8 bytes)    14 bytes, host -> join: say hello again
//   whole   0x03 channel generation binding data
//                                               7 bytes + data (at most 1,393)
//   piece   0x04 channel generation binding datagram index count data
//                                               13 bytes + data (at most 1,387 a piece)
//
// The host is the kiv host's own identity, drawn at its start: a join that comes back to the
// room after losing the relay tells by it whether the room still has the host it joined. A
// welcome of 16 bytes, without it, comes from an older kiv host and names no host (0).
//
// The binding is the host's number for one tag's hello, given in the welcome and carried in
// every frame both ways. A relay that restarted gives tags anew, and a join that takes up a
// tag again by sending does not know it has: a frame whose binding is not the one its tag
// was welcomed with shows that, and its receiver asks for a hello (the host with who, the
// join by saying hello) instead of handing it to another join's sockets or senders.
//
// Numbers are little-endian: version a byte, identity 64 bits, channel and generation 16,
// datagram 32, index and count a byte each. The channel is the join's local sender (an
// entry of its sender table), the generation tells one sender of an entry from the next, and
// the identity is the join's own, kept across new tags. An application datagram too long for
// one frame goes as `count` pieces of one datagram number, as few as PIECE_DATA allows and
// as even as they can be: every piece but the last carries the same number of bytes (at most
// PIECE_DATA), the last no more, so a piece's index and that size give its place. Even
// pieces make a stream of equal datagrams a stream of equal frames, which the kernel sends
// as one segmented send.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/kiv_client.hpp"

namespace kiv::tunnel {

inline constexpr uint8_t FRAME_VERSION = 2;
inline constexpr size_t HELLO_SIZE = 14;  // hello and who
inline constexpr size_t WELCOME_SIZE = 24;
inline constexpr size_t UNNAMED_WELCOME_SIZE = 16;  // an older host's, without its identity
inline constexpr size_t WHOLE_HEADER = 7;
inline constexpr size_t PIECE_HEADER = 13;
inline constexpr size_t WHOLE_DATA = client::MAX_PAYLOAD - WHOLE_HEADER;
inline constexpr size_t PIECE_DATA = client::MAX_PAYLOAD - PIECE_HEADER;
// The largest UDP payload over IPv4: anything an application can send.
inline constexpr size_t MAX_APP_DATAGRAM = 65507;
inline constexpr size_t MAX_PIECES = (MAX_APP_DATAGRAM + PIECE_DATA - 1) / PIECE_DATA;
// Local senders one join carries over its one place: the channels a frame can name.
inline constexpr uint16_t CHANNELS = 1024;
// A channel, socket or client silent this long is forgotten, as the relay forgets a silent
// client.
inline constexpr uint64_t TUNNEL_IDLE_US = uint64_t(TIMEOUT_MS) * 1000;

static_assert(MAX_PIECES <= 64, "a piece set is tracked in one 64-bit mask");
static_assert(WHOLE_DATA >= PIECE_DATA, "a datagram that fits one frame is never cut");

enum class FrameKind : uint8_t {
    invalid = 0,
    hello = 1,
    welcome = 2,
    whole = 3,
    piece = 4,
    who = 5,
};

struct Frame {
    FrameKind kind = FrameKind::invalid;
    uint64_t identity = 0;  // hello, welcome
    uint64_t host = 0;      // welcome: the host's own identity; 0 when it names none
    uint16_t binding = 0;   // welcome, whole, piece
    uint16_t channel = 0;   // whole, piece
    uint16_t generation = 0;
    uint32_t datagram = 0;  // piece
    uint8_t index = 0;
    uint8_t count = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
};

// Reads a frame; kind is invalid for anything malformed (a short header, an unknown kind or
// version, a channel beyond CHANNELS, a piece whose index, count or length does not fit).
Frame parse_frame(const uint8_t* bytes, size_t length);
// True when `bytes` is a hello: how a kiv host tells a kiv join from a plain client.
bool is_hello(const uint8_t* bytes, size_t length);

// Write a frame into `out` (at least WELCOME_SIZE or client::MAX_PAYLOAD bytes); return its
// length. write_hello writes a hello or a who (whose identity is 0).
size_t write_hello(uint8_t* out, FrameKind kind, uint64_t identity);
size_t write_welcome(uint8_t* out, uint64_t identity, uint16_t binding, uint64_t host);
size_t write_whole(uint8_t* out, uint16_t channel, uint16_t generation, uint16_t binding,
                   const uint8_t* data, size_t length);
// Piece `index` of a datagram of `length` bytes (at most MAX_APP_DATAGRAM).
size_t write_piece(uint8_t* out, uint16_t channel, uint16_t generation, uint16_t binding,
                   uint32_t datagram, const uint8_t* data, size_t length, size_t index);
// How many frames a datagram of `length` bytes takes: 1 when it fits whole.
size_t frames_for(size_t length);
// The bytes each piece but the last carries, for a datagram that goes in pieces.
size_t piece_size_for(size_t length);

// Gathers pieces into whole datagrams. Each slot holds one datagram in progress; a piece of a
// new datagram takes a free slot or the one started longest ago, so a lost piece costs that
// datagram alone and the memory is SLOTS datagrams, whatever a peer sends. A datagram left
// unfinished for PIECE_WAIT_US is given up when its slot is next looked at.
class Reassembly {
  public:
    static constexpr int SLOTS = 4;
    static constexpr uint64_t PIECE_WAIT_US = 2'000'000;

    struct Whole {
        uint16_t channel;
        uint16_t generation;
        const uint8_t* data;  // valid until the next add()
        size_t length;
    };

    // Takes a parsed piece; true when it completes its datagram, which `whole` then shows.
    bool add(const Frame& piece, uint64_t now_us, Whole* whole);
    // Forgets every datagram in progress (its peer is gone).
    void clear();
    // Slots holding part of a datagram, for tests and reports.
    int in_progress() const;
    // Datagrams given up (evicted or stale) since the start.
    uint64_t abandoned() const { return abandoned_; }

  private:
    struct Slot {
        bool active = false;
        uint16_t channel = 0;
        uint16_t generation = 0;
        uint32_t datagram = 0;
        uint8_t count = 0;
        uint8_t received = 0;
        uint64_t mask = 0;
        uint64_t started_us = 0;
        // Learnt from the first piece that is not the last; 0 until then. A last piece that
        // comes first waits at the end of `bytes` for it.
        size_t piece_size = 0;
        size_t last_length = 0;  // 0 until the last piece is in
        uint8_t bytes[MAX_APP_DATAGRAM];
    };
    // The slot of the piece's datagram, or a fresh one (free, or the oldest given up); null
    // when a slot holds the same datagram number with another count.
    Slot* slot_for(const Frame& piece, uint64_t now_us);

    Slot slots_[SLOTS];
    uint64_t abandoned_ = 0;
};

}  // namespace kiv::tunnel
