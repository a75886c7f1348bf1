// The core's state as bytes, so that a relay being replaced hands its rooms to the process
// that replaces it (the shell's hand_over.cpp moves the bytes). Pure code: bytes in, bytes
// out. Every field is written with an explicit little-endian store, and the whole is covered
// by a checksum, so the reader trusts nothing it has not checked; a snapshot it refuses
// leaves the relay empty, never half filled.
//
//   offset  bytes  field
//   0       8      magic "KIVRSNAP"
//   8       4      layout version (SNAPSHOT_LAYOUT)
//   12      4      whole length in bytes
//   16      8      FNV-1a 64 of every byte from offset 24 to the end
//   24      16     boot id of the kernel the writer ran under
//   40      23     the socket's bound address (a peer, below)
//   63      8      hash key of the indexes and budgets
//   71      4      writer's clock (ms) when it wrote
//   75      4      the socket's drop count the writer had last read
//   79      2      MAX_ROOMS, 2 MAX_CLIENTS, 4 SOURCE_BUDGET_BUCKETS of the writer's build
//   87      2      rooms in use; each: slot 2, id 4, host (peer), host_seen 4, next_tag 4,
//                  token fingerprint 4, clients 1; each client: slot 1, tag 4, addr (peer), seen 4
//   ..      2      counters, then that many 8-byte counters
//   ..      24     log line ceiling (units 8, refilled_ms 4), lookup ceiling (the same)
//   ..      8      log lines suppressed and not yet reported
//   ..      4+     lookup budgets: count 4, then each non-full bucket: index 4, source 8,
//                  spent units 4, refilled_ms 4; then the event budgets alike
//
// A peer is 23 bytes: family 1 (4 or 6), port 2 (host order), address 16 (an IPv4 one in
// the first 4, network order), scope id 4. Times are the writer's monotonic milliseconds,
// which a reader on the same boot shares.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "relay/relay.hpp"
#include "wire/peer.hpp"

namespace kiv {

// Raised whenever the bytes below change: a relay refuses a layout it does not know.
inline constexpr uint32_t SNAPSHOT_LAYOUT = 1;
inline constexpr size_t SNAPSHOT_HEADER_BYTES = 87;

// Where a snapshot was made: a snapshot is good only where it came from.
struct SnapshotOrigin {
    std::array<uint8_t, 16> boot_id{};
    Peer bound;
};

// What the shell needs from a snapshot before the relay exists.
struct SnapshotHeader {
    uint64_t hash_key;
    uint32_t written_ms;
    uint32_t socket_drops_seen;
};

// The bytes snapshot_write() needs for `relay` as it is.
size_t snapshot_size(const Relay& relay);
// Writes the snapshot into `out` (snapshot_size() bytes at least); returns the bytes written.
size_t snapshot_write(const Relay& relay, const SnapshotOrigin& origin, uint64_t hash_key,
                      uint32_t now_ms, uint32_t socket_drops_seen, uint8_t* out, size_t size);

// Whether `bytes` is a whole snapshot of this layout and this build, unchanged since it was
// written (checksum), made on this boot for a socket bound where `here` is. On failure
// writes why, as a phrase ("it was made on another boot").
bool snapshot_check(const uint8_t* bytes, size_t size, const SnapshotOrigin& here,
                    SnapshotHeader* header, char* reason, size_t reason_size);
// Fills `relay`, new and built with the header's hash key, from a snapshot that passed
// snapshot_check(). A snapshot whose content breaks a rule of the table (two hosts in one
// slot, a tag twice in a room...) is refused as a whole: the relay is left empty.
bool snapshot_restore(const uint8_t* bytes, size_t size, Relay& relay, char* reason,
                      size_t reason_size);

// FNV-1a 64, the snapshot's checksum; for tools that make snapshots by hand.
uint64_t snapshot_checksum(const uint8_t* bytes, size_t size);

}  // namespace kiv
