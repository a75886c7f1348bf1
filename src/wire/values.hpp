// The header's value field means a room id from a client or to a host, a tag from a host or
// to it, and anything at all in a ping. Room ids and tags get a type each, so that passing
// one where the other is due does not compile; both are plain 32-bit numbers on the wire.
#pragma once

#include <compare>
#include <cstdint>

namespace kiv {

inline constexpr uint32_t MAX_ROOM_ID = uint32_t(1) << 25;
inline constexpr uint32_t MAX_TAG = 65535;

struct RoomId {
    uint32_t value = 0;  // 1..MAX_ROOM_ID; 0 is no room
    constexpr RoomId() = default;
    constexpr explicit RoomId(uint32_t number) : value(number) {}
    friend constexpr auto operator<=>(RoomId, RoomId) = default;
    // An id a room can have: 1..MAX_ROOM_ID.
    constexpr bool valid() const { return value >= 1 && value <= MAX_ROOM_ID; }
};

struct Tag {
    uint32_t value = 0;  // 1..MAX_TAG; 0 is no client
    constexpr Tag() = default;
    constexpr explicit Tag(uint32_t number) : value(number) {}
    friend constexpr auto operator<=>(Tag, Tag) = default;
    // A tag a client can have: 1..MAX_TAG.
    constexpr bool valid() const { return value >= 1 && value <= MAX_TAG; }
};

}  // namespace kiv
