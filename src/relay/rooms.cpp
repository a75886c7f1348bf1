#include "rooms.hpp"

#include <cassert>

namespace kiv {

int client_count(const Room& room) {
    int count = 0;
    for (const ClientSlot& slot : room.clients)
        count += slot.tag != 0;
    return count;
}

ClientSlot* free_client_slot(Room& room) {
    for (ClientSlot& slot : room.clients) {
        if (slot.tag == 0) return &slot;
    }
    return nullptr;
}

ClientSlot* client_by_tag(Room& room, uint32_t tag) {
    if (tag == 0) return nullptr;
    // Clients that join an empty room in turn get tags 1, 2, 3... in slots 0, 1, 2..., so
    // the slot a tag would have there is tried first; tags are unique within a room, so the
    // slot found is the one the scan below would find.
    ClientSlot& likely = room.clients[(tag - 1) % MAX_CLIENTS];
    if (likely.tag == tag) return &likely;
    for (ClientSlot& slot : room.clients) {
        if (slot.tag == tag) return &slot;
    }
    return nullptr;
}

namespace {

// An address's identity as an index key: IPv4 address and port, nothing else.
uint64_t addr_key(const sockaddr_in& addr) {
    return uint64_t(addr.sin_addr.s_addr) << 16 | addr.sin_port;
}

}  // namespace

uint32_t RoomTable::slot_of(const Room& room) const {
    assert(&room >= rooms_.data() && &room < rooms_.data() + MAX_ROOMS);
    return uint32_t(&room - rooms_.data());
}

Room* RoomTable::room_by_host(const sockaddr_in& addr) {
    int slot = room_by_host_index_.find(addr_key(addr));
    return slot < 0 ? nullptr : &rooms_[slot];
}

Room* RoomTable::room_by_id(uint32_t id) {
    int slot = room_by_id_index_.find(id);
    return slot < 0 ? nullptr : &rooms_[slot];
}

ClientSlot* RoomTable::client_by_addr(const sockaddr_in& addr, Room** room_out) {
    int where = client_by_addr_index_.find(addr_key(addr));
    if (where < 0) return nullptr;
    Room& room = rooms_[where / MAX_CLIENTS];
    *room_out = &room;
    return &room.clients[where % MAX_CLIENTS];
}

int RoomTable::rooms_hosted_from(uint32_t ip) const {
    int count = rooms_by_host_ip_index_.find(ip);
    return count < 0 ? 0 : count;
}

Room* RoomTable::free_room() {
    for (Room& room : rooms_) {
        if (room.id == 0) return &room;
    }
    return nullptr;
}

void RoomTable::room_open(Room& room, uint32_t id, const sockaddr_in& host, uint32_t now_ms) {
    assert(id != 0);
    if (room.id != 0) room_clear(room);
    room.id = id;
    room.host = host;
    room.host_seen = now_ms;
    room.next_tag = 1;
    room_by_host_index_.insert(addr_key(host), slot_of(room));
    room_by_id_index_.insert(id, slot_of(room));
    uint32_t ip = host.sin_addr.s_addr;
    int hosted = rooms_hosted_from(ip);
    if (hosted > 0) rooms_by_host_ip_index_.erase(ip);
    rooms_by_host_ip_index_.insert(ip, uint32_t(hosted + 1));
}

void RoomTable::room_clear(Room& room) {
    if (room.id != 0) {
        for (ClientSlot& slot : room.clients)
            client_clear(room, slot);
        room_by_host_index_.erase(addr_key(room.host));
        room_by_id_index_.erase(room.id);
        uint32_t ip = room.host.sin_addr.s_addr;
        int hosted = rooms_hosted_from(ip);
        assert(hosted > 0);
        rooms_by_host_ip_index_.erase(ip);
        if (hosted > 1) rooms_by_host_ip_index_.insert(ip, uint32_t(hosted - 1));
    }
    room = Room{};
}

void RoomTable::client_join(Room& room, ClientSlot& slot, uint32_t tag, const sockaddr_in& addr) {
    assert(room.id != 0 && tag != 0);
    assert(&slot >= room.clients.data() && &slot < room.clients.data() + MAX_CLIENTS);
    if (slot.tag != 0) client_clear(room, slot);
    slot.addr = addr;
    slot.tag = tag;
    uint32_t where = slot_of(room) * MAX_CLIENTS + uint32_t(&slot - room.clients.data());
    client_by_addr_index_.insert(addr_key(addr), where);
}

void RoomTable::client_clear(Room& /*room*/, ClientSlot& slot) {
    if (slot.tag != 0) client_by_addr_index_.erase(addr_key(slot.addr));
    slot = ClientSlot{};
}

bool RoomTable::id_in_use(uint32_t id) const {
    return room_by_id_index_.find(id) >= 0;
}

IdChoice RoomTable::choose_id(uint32_t requested, RandomSource random) const {
    if (requested >= 1 && requested <= MAX_ROOM_ID && !id_in_use(requested)) {
        return {requested, true};
    }
    // At most 256 of 2^25 ids are ever taken, so a draw collides rarely and the loop ends.
    uint32_t id;
    do {
        int r1 = random.next(random.context);
        int r2 = random.next(random.context);
        id = room_id_from_random(r1, r2);
    } while (id_in_use(id));
    return {id, id == requested};
}

uint32_t tag_allocate(Room& room) {
    uint32_t tag = room.next_tag;
    // With at most MAX_CLIENTS - 1 other clients, a free tag turns up within MAX_CLIENTS steps.
    while (client_by_tag(room, tag) != nullptr)
        tag = tag == MAX_TAG ? 1 : tag + 1;
    room.next_tag = tag == MAX_TAG ? 1 : tag + 1;
    return tag;
}

}  // namespace kiv
