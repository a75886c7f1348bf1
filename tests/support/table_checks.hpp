// Rules the relay's state and output must obey whatever it is sent, checked from outside the
// core so that the fuzzer, the model test and the allocation test judge it the same way.
// Each check returns nullptr when the rule holds, else a text naming the first broken rule
// (in a static buffer valid until the next check).
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/relay.hpp"
#include "relay/rooms.hpp"

namespace kiv::check {

// A host holds at most one room and no client slot; an address holds at most one slot in
// the whole table; free records are all zeros; open ids are unique and in 1..2^25; tags are
// unique within a room and in 1..65535, and next_tag is a valid tag.
const char* table_fault(const RoomTable& table);

// Right after a sweep at now_ms nobody is left who has been silent for longer than TIMEOUT_MS.
const char* sweep_fault(const RoomTable& table, uint32_t now_ms);

// One datagram as it arrived: `bytes` is a copy taken before the core rewrote its buffer,
// holding min(length, MAX_DATAGRAM + 1) bytes.
struct Arrival {
    const uint8_t* bytes;
    size_t length;
    Peer source;
};

// What the core made of one datagram: a reply is exactly one well-formed 12-byte header to
// the source; a forward is a MSG_DATA of the arrival's length with the payload untouched,
// to an address the table holds and never back to the sender. Nothing sent is longer than
// what arrived. `sent` is the core's buffer after handle(), `table` the table after it.
const char* outgoing_fault(const Arrival& arrival, const uint8_t* sent, const Outgoing& out,
                           const RoomTable& table);

}  // namespace kiv::check
