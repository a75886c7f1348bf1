// The room table's lookups as plain scans in slot order, first match wins: the definition
// the table's indexed lookups are checked (and, in the micro-benchmarks, timed) against.
#pragma once

#include "relay/rooms.hpp"

namespace kiv::scan {

Room* room_by_host(RoomTable& table, const Peer& addr);
Room* room_by_id(RoomTable& table, RoomId id);
// On a match, sets *room to the room holding the slot; otherwise leaves it untouched.
ClientSlot* client_by_addr(RoomTable& table, const Peer& addr, Room** room);

}  // namespace kiv::scan
