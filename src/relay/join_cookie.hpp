// The join cookie: what a client echoes to show that it receives at the address it sends
// from, before it may hold a slot (--validate-joins). Without it, one datagram with a forged
// source would point a room's traffic at whoever owns that address.
//
// A cookie is 32 bits of SipHash-2-4 over the source address (16 bytes, an IPv4 address
// as ::ffff:a.b.c.d), its port (2 bytes, network order) and the room id (4 bytes,
// little-endian), keyed with a key of the period (now_ms / COOKIE_PERIOD_MS) that BLAKE2b
// derives from one master key. The relay keeps nothing per cookie: a cookie made in one
// period is good in it and in the next, so it lives COOKIE_PERIOD_MS to twice that.
// Pure: the master key comes from the shell, the time from the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"
#include "wire/values.hpp"

namespace kiv {

inline constexpr uint32_t COOKIE_PERIOD_MS = 30000;
inline constexpr size_t JOIN_COOKIE_KEY_BYTES = 32;
// The payload of a MSG_JOIN: the cookie, little-endian.
inline constexpr size_t JOIN_COOKIE_BYTES = 4;

struct JoinCookieKey {
    uint8_t bytes[JOIN_COOKIE_KEY_BYTES];
};

// Whether this build can make cookies (it was built with libsodium).
bool join_cookie_supported();

// The cookie for `source` joining `room` at now_ms.
uint32_t join_cookie(const JoinCookieKey& key, const Peer& source, RoomId room, uint32_t now_ms);
// Whether `cookie` was made for `source` and `room` in the period of now_ms or the one
// before. Never true in a build without cookies.
bool join_cookie_good(const JoinCookieKey& key, const Peer& source, RoomId room, uint32_t now_ms,
                      uint32_t cookie);

}  // namespace kiv
