#include "table_scan.hpp"

namespace kiv::scan {

Room* room_by_host(RoomTable& table, const Peer& addr) {
    for (Room& room : table.rooms()) {
        if (room.id.value != 0 && room.host == addr) return &room;
    }
    return nullptr;
}

Room* room_by_id(RoomTable& table, RoomId id) {
    for (Room& room : table.rooms()) {
        if (room.id == id) return &room;
    }
    return nullptr;
}

ClientSlot* client_by_addr(RoomTable& table, const Peer& addr, Room** room_out) {
    for (Room& room : table.rooms()) {
        if (room.id.value == 0) continue;
        for (ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0 && slot.addr == addr) {
                *room_out = &room;
                return &slot;
            }
        }
    }
    return nullptr;
}

}  // namespace kiv::scan
