// The relay's own settings: how much it holds and how it paces itself. Peers see none of
// these directly; what they may rely on lives with the wire format.
#pragma once

#include <cstdint>

#include "protocol.hpp"

namespace kiv {

inline constexpr int MAX_ROOMS = 256;
// How often silent peers are looked for; a peer is forgotten at most this long after
// TIMEOUT_MS.
inline constexpr uint32_t SWEEP_MS = 1000;
// Asked of the kernel for the socket's receive queue; a smaller grant still works.
inline constexpr int RECEIVE_BUFFER_BYTES = 4194304;

// Limits per source IPv4 address, so that one address can neither scan the id space nor hold
// the table. The build may change them (the CMake options of the same name).
#ifndef KIV_ROOM_MISS_BURST
#define KIV_ROOM_MISS_BURST 20
#endif
#ifndef KIV_ROOM_MISS_PER_SECOND
#define KIV_ROOM_MISS_PER_SECOND 2
#endif
#ifndef KIV_ROOMS_PER_ADDRESS
#define KIV_ROOMS_PER_ADDRESS 32
#endif
// Lookups of a room by id that an address may make from outside the room (a join, an
// ERR_NO_ROOM, an open asking for an id) in a burst, and then per second.
inline constexpr uint32_t ROOM_MISS_BURST = KIV_ROOM_MISS_BURST;
inline constexpr uint32_t ROOM_MISS_PER_SECOND = KIV_ROOM_MISS_PER_SECOND;
// Rooms one address may host at once; a further open is refused as if the table were full.
inline constexpr int ROOMS_PER_ADDRESS = KIV_ROOMS_PER_ADDRESS;
// Addresses whose budget is tracked at once; an address not tracked has a full budget.
inline constexpr int MISS_BUDGET_ADDRESSES = 4096;
static_assert(ROOM_MISS_BURST >= 1 && ROOM_MISS_BURST <= 1000000, "burst out of range");
static_assert(ROOM_MISS_PER_SECOND >= 1 && ROOM_MISS_PER_SECOND <= 1000000, "rate out of range");
static_assert(ROOMS_PER_ADDRESS >= 1 && ROOMS_PER_ADDRESS <= MAX_ROOMS, "cap out of range");

}  // namespace kiv
