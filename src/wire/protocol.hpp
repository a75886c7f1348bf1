// The wire format every datagram shares: a 12-byte header, the message types, the error
// values and the limits both ends rely on. Header fields are read and written byte by byte, never
// by casting the buffer to a struct, so alignment and host byte order never matter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/values.hpp"

namespace kiv {

inline constexpr uint8_t MAGIC[4] = {'K', 'I', 'V', 'R'};
inline constexpr uint8_t PROTOCOL_VERSION = 1;
inline constexpr size_t HEADER_SIZE = 12;
inline constexpr size_t MAX_DATAGRAM = 1412;
inline constexpr uint16_t DEFAULT_PORT = 27017;
// What every peer may rely on: a room holds this many clients, and a host or client that
// sends nothing for longer than TIMEOUT_MS is forgotten.
inline constexpr int MAX_CLIENTS = 8;
inline constexpr uint32_t TIMEOUT_MS = 60000;

static_assert(HEADER_SIZE <= MAX_DATAGRAM, "a header must fit in a datagram");

// MSG_REFLECTED is a header whose value is the port the relay saw, then the 16-byte address
// it saw (IPv4 as ::ffff:a.b.c.d). A request shorter than the answer gets none, so that the
// answer never outweighs what was sent for it.
inline constexpr size_t REFLECT_ADDRESS_OFFSET = 12;
inline constexpr size_t REFLECT_SIZE = REFLECT_ADDRESS_OFFSET + 16;
static_assert(REFLECT_ADDRESS_OFFSET == HEADER_SIZE && REFLECT_SIZE <= MAX_DATAGRAM,
              "the reflected address follows the header");
static_assert(MAX_CLIENTS < int(MAX_TAG), "tag allocation needs a free tag for every client");

enum class MsgType : uint8_t {
    MSG_OPEN = 1,
    MSG_OPENED = 2,
    MSG_DATA = 3,
    MSG_CLOSE = 4,
    MSG_LEAVE = 5,
    MSG_ERROR = 6,
    MSG_PING = 7,
    MSG_PONG = 8,
    // Only on a relay that validates joins: its answer to a datagram that would join a room,
    // with a cookie for the value, and the client's echo of that cookie.
    MSG_CHALLENGE = 9,  // relay to client: value the cookie
    MSG_JOIN = 10,      // client to relay: value the room id, payload the cookie (4 bytes LE)
    // Where the relay sees a peer from, on a relay started with --reflect; otherwise dropped
    // as an unknown type.
    MSG_REFLECT = 11,
    MSG_REFLECTED = 12,
};

// The payload of a MSG_JOIN: the challenge's cookie, little-endian.
inline constexpr size_t JOIN_COOKIE_BYTES = 4;

enum class ErrorCode : uint32_t {
    ERR_NO_ROOM = 1,
    ERR_ROOM_FULL = 2,
    ERR_NO_FREE_ROOM = 3,
    ERR_BAD_VERSION = 4,
    ERR_NOT_ALLOWED = 5,  // an open without a good token, on a relay that asks for one
};

// Field offsets within the header.
inline constexpr size_t OFFSET_TYPE = 4;
inline constexpr size_t OFFSET_VERSION = 5;
inline constexpr size_t OFFSET_RESERVED = 6;
inline constexpr size_t OFFSET_VALUE = 8;

inline uint32_t load_le32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

inline void store_le32(uint8_t* bytes, uint32_t value) {
    bytes[0] = uint8_t(value);
    bytes[1] = uint8_t(value >> 8);
    bytes[2] = uint8_t(value >> 16);
    bytes[3] = uint8_t(value >> 24);
}

inline bool header_has_magic(const uint8_t* header) {
    return header[0] == MAGIC[0] && header[1] == MAGIC[1] && header[2] == MAGIC[2] &&
           header[3] == MAGIC[3];
}

// The value field as a plain number: what a ping carries and an error names.
inline uint32_t header_value(const uint8_t* header) {
    return load_le32(header + OFFSET_VALUE);
}
// The value field where its meaning is known from the type and the sender: a room id in an
// open, an opened and a client's data; a tag in data from or to a host.
inline RoomId header_room(const uint8_t* header) {
    return RoomId(header_value(header));
}
inline Tag header_tag(const uint8_t* header) {
    return Tag(header_value(header));
}

// Writes a complete header as the relay sends it: version 1 and zero reserved bytes, whatever
// the buffer held before (forwards rewrite the received header in place).
inline void header_write(uint8_t* header, MsgType type, uint32_t value) {
    header[0] = MAGIC[0];
    header[1] = MAGIC[1];
    header[2] = MAGIC[2];
    header[3] = MAGIC[3];
    header[OFFSET_TYPE] = uint8_t(type);
    header[OFFSET_VERSION] = PROTOCOL_VERSION;
    header[OFFSET_RESERVED] = 0;
    header[OFFSET_RESERVED + 1] = 0;
    store_le32(header + OFFSET_VALUE, value);
}
inline void header_write(uint8_t* header, MsgType type, RoomId room) {
    header_write(header, type, room.value);
}
inline void header_write(uint8_t* header, MsgType type, Tag tag) {
    header_write(header, type, tag.value);
}

}  // namespace kiv
