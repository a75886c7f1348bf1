// The relay's own settings: how much it holds and how it paces itself. Peers see none of
// these directly; what they may rely on lives with the wire format.
#pragma once

#include <cstdint>

#include "relay/build_limits.hpp"
#include "wire/protocol.hpp"

namespace kiv {

inline constexpr int MAX_ROOMS = 256;
// How often silent peers are looked for; a peer is forgotten at most this long after
// TIMEOUT_MS.
inline constexpr uint32_t SWEEP_MS = 1000;
// Asked of the kernel for the socket's receive queue; a smaller grant still works.
inline constexpr int RECEIVE_BUFFER_BYTES = 4194304;

// Limits per source network (an IPv4 address), so that one address can neither scan the id space
// nor hold the table. The build may change them (the CMake options of the same name, written
// into relay/build_limits.hpp).
// Lookups of a room by id that an address may make from outside the room (a join, an
// ERR_NO_ROOM, an open asking for an id) in a burst, and then per second.
inline constexpr uint32_t ROOM_MISS_BURST = KIV_ROOM_MISS_BURST;
inline constexpr uint32_t ROOM_MISS_PER_SECOND = KIV_ROOM_MISS_PER_SECOND;
// Lookups kept back from a source's joins and unknown ids for its opens that ask for an id.
// A host whose relay restarted has lost its room, so each of its data datagrams now reads as
// a lookup of an unknown room (its tag taken for a room id); a host that streams would spend
// every lookup that comes back and starve the open that takes its room back. Both kinds
// draw on one budget, so whoever probes ids with opens, data or both still gets at most
// ROOM_MISS_BURST + REOPEN_LOOKUP_RESERVE answers in a burst and ROOM_MISS_PER_SECOND after.
inline constexpr uint32_t REOPEN_LOOKUP_RESERVE = 2;
// Rooms one address may host at once; a further open is refused as if the table were full.
inline constexpr int ROOMS_PER_ADDRESS = KIV_ROOMS_PER_ADDRESS;
// Rooms one open token may hold at once (--open-key): a room-bound token holds its one room,
// an any-room token at most this many, so that a token that leaks cannot fill the table.
inline constexpr int ROOMS_PER_TOKEN = 4;
// Sources whose budgets are tracked at once, per kind of budget; a source not tracked has a
// full budget. Enough for tens of thousands of sources before any bucket changes hands.
inline constexpr int SOURCE_BUDGET_BUCKETS = KIV_SOURCE_BUDGET_BUCKETS;

// Events (opens that create or move a room, joins, leaves, closes, refused tokens) one source
// may cause in a burst, and then per second.
inline constexpr uint32_t EVENT_BURST = KIV_EVENT_BURST;
inline constexpr uint32_t EVENT_PER_SECOND = KIV_EVENTS_PER_SECOND;

// Relay-wide: event log lines written per second (and in a burst), and answers to room
// lookups per second (and in a burst), whatever the number of sources.
inline constexpr uint32_t LOG_LINES_PER_SECOND = KIV_LOG_LINES_PER_SECOND;
inline constexpr uint32_t LOG_LINES_BURST = KIV_LOG_LINES_BURST;
inline constexpr uint32_t LOOKUPS_PER_SECOND = KIV_LOOKUPS_PER_SECOND;
inline constexpr uint32_t LOOKUPS_BURST = KIV_LOOKUPS_BURST;
// An IPv6 peer usually holds a whole /64, so per-source limits count IPv6 peers by this many
// leading bits of their address (and IPv4 peers by their whole address).
inline constexpr int IPV6_LIMIT_PREFIX = KIV_IPV6_LIMIT_PREFIX;
static_assert(IPV6_LIMIT_PREFIX >= 1 && IPV6_LIMIT_PREFIX <= 64,
              "the IPv6 limit prefix is 1 to 64 bits: a network key holds 64");
static_assert(EVENT_BURST >= 1 && EVENT_BURST <= 1000000, "event burst out of range");
static_assert(EVENT_PER_SECOND >= 1 && EVENT_PER_SECOND <= 1000000, "event rate out of range");
static_assert(LOG_LINES_PER_SECOND >= 1 && LOG_LINES_BURST >= 1, "log ceiling out of range");
static_assert(LOOKUPS_PER_SECOND >= 1 && LOOKUPS_BURST >= 1, "lookup ceiling out of range");
static_assert(ROOM_MISS_BURST >= 1 && ROOM_MISS_BURST <= 1000000, "burst out of range");
static_assert(REOPEN_LOOKUP_RESERVE >= 1, "a streaming host needs a lookup for its re-open");
static_assert(ROOM_MISS_PER_SECOND >= 1 && ROOM_MISS_PER_SECOND <= 1000000, "rate out of range");
static_assert(ROOMS_PER_ADDRESS >= 1 && ROOMS_PER_ADDRESS <= MAX_ROOMS, "cap out of range");

}  // namespace kiv
