#include "table_scan.hpp"

namespace kiv::scan {

Room* room_by_host(RoomTable& table, const sockaddr_in& addr) {
    for (Room& room : table.rooms()) {
        if (room.id != 0 && addr_equal(room.host, addr)) return &room;
    }
    return nullptr;
}

Room* room_by_id(RoomTable& table, uint32_t id) {
    for (Room& room : table.rooms()) {
        if (room.id == id) return &room;
    }
    return nullptr;
}

ClientSlot* client_by_addr(RoomTable& table, const sockaddr_in& addr, Room** room_out) {
    for (Room& room : table.rooms()) {
        if (room.id == 0) continue;
        for (ClientSlot& slot : room.clients) {
            if (slot.tag != 0 && addr_equal(slot.addr, addr)) {
                *room_out = &room;
                return &slot;
            }
        }
    }
    return nullptr;
}

}  // namespace kiv::scan
