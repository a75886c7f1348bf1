#include "relay/rooms.hpp"

#include <cassert>

namespace kiv {

int client_count(const Room& room) {
    int count = 0;
    for (const ClientSlot& slot : room.clients)
        count += slot.tag.value != 0;
    return count;
}

ClientSlot* free_client_slot(Room& room) {
    for (ClientSlot& slot : room.clients) {
        if (slot.tag.value == 0) return &slot;
    }
    return nullptr;
}

ClientSlot* client_by_tag(Room& room, Tag tag) {
    if (tag.value == 0) return nullptr;
    // Clients that join an empty room in turn get tags 1, 2, 3... in slots 0, 1, 2..., so
    // the slot a tag would have there is tried first; tags are unique within a room, so the
    // slot found is the one the scan below would find.
    ClientSlot& likely = room.clients[(tag.value - 1) % MAX_CLIENTS];
    if (likely.tag == tag) return &likely;
    for (ClientSlot& slot : room.clients) {
        if (slot.tag == tag) return &slot;
    }
    return nullptr;
}

uint32_t RoomTable::slot_of(const Room& room) const {
    assert(&room >= rooms_.data() && &room < rooms_.data() + MAX_ROOMS);
    return uint32_t(&room - rooms_.data());
}

Room* RoomTable::room_by_host(const Peer& peer) {
    int slot = room_by_host_index_.find(fingerprint(peer),
                                        [&](int found) { return rooms_[found].host == peer; });
    assert(slot < 0 || rooms_[slot].host == peer);
    return slot < 0 ? nullptr : &rooms_[slot];
}

Room* RoomTable::room_by_id(RoomId id) {
    int slot = room_by_id_index_.find(id.value);
    assert(slot < 0 || rooms_[slot].id == id);
    return slot < 0 ? nullptr : &rooms_[slot];
}

int RoomTable::client_place(const Peer& peer) const {
    return client_by_addr_index_.find(fingerprint(peer), [&](int found) {
        return rooms_[found / MAX_CLIENTS].clients[found % MAX_CLIENTS].addr == peer;
    });
}

ClientSlot* RoomTable::client_by_addr(const Peer& peer, Room** room_out) {
    int where = client_place(peer);
    if (where < 0) return nullptr;
    Room& room = rooms_[where / MAX_CLIENTS];
    ClientSlot& slot = room.clients[where % MAX_CLIENTS];
    assert(room.id.value != 0 && slot.tag.value != 0 && slot.addr == peer);
    *room_out = &room;
    return &slot;
}

int RoomTable::host_network_of(uint64_t network) const {
    return host_network_index_.find(network_fingerprint(network), [&](int record) {
        return host_networks_[record].network == network;
    });
}

int RoomTable::rooms_hosted_from(const Peer& peer) const {
    int record = host_network_of(peer.network_key(IPV6_LIMIT_PREFIX));
    return record < 0 ? 0 : host_networks_[record].rooms;
}

void RoomTable::host_network_add(uint64_t network) {
    int record = host_network_of(network);
    if (record < 0) {
        // A network with a record hosts a room, and there are MAX_ROOMS records.
        assert(free_host_network_count_ > 0);
        record = free_host_networks_[size_t(--free_host_network_count_)];
        assert(host_networks_[record].rooms == 0);
        host_networks_[record] = {network, 0};
        host_network_index_.insert_shared(network_fingerprint(network), uint32_t(record));
    }
    ++host_networks_[record].rooms;
}

void RoomTable::host_network_remove(uint64_t network) {
    int record = host_network_of(network);
    assert(record >= 0 && host_networks_[record].rooms > 0);
    if (--host_networks_[record].rooms > 0) return;
    host_network_index_.erase(network_fingerprint(network), uint32_t(record));
    host_networks_[record] = HostNetwork{};
    free_host_networks_[size_t(free_host_network_count_++)] = uint16_t(record);
}

Room* RoomTable::free_room() {
    for (Room& room : rooms_) {
        if (room.id.value == 0) return &room;
    }
    return nullptr;
}

void RoomTable::room_open(Room& room, RoomId id, const Peer& host, uint32_t now_ms) {
    // A host holds at most one room and no client slot, and ids are unique: the caller has
    // made sure of all three before it opens.
    if (room.id.value != 0) room_clear(room);
    assert(id.valid() && !id_in_use(id));
    assert(room_by_host(host) == nullptr);
    assert(client_place(host) < 0);
    room.id = id;
    room.host = host;
    room.host_seen = now_ms;
    room.next_tag = Tag(1);
    room_by_host_index_.insert_shared(fingerprint(host), slot_of(room));
    room_by_id_index_.insert(id.value, slot_of(room));
    host_network_add(host.network_key(IPV6_LIMIT_PREFIX));
    assert(room_by_host(host) == &room && room_by_id(id) == &room);
}

void RoomTable::room_clear(Room& room) {
    if (room.id.value != 0) {
        for (ClientSlot& slot : room.clients)
            client_clear(slot);
        room_by_host_index_.erase(fingerprint(room.host), slot_of(room));
        room_by_id_index_.erase(room.id.value);
        host_network_remove(room.host.network_key(IPV6_LIMIT_PREFIX));
    }
    room = Room{};
}

void RoomTable::client_join(Room& room, ClientSlot& slot, Tag tag, const Peer& addr) {
    assert(room.id.value != 0 && tag.valid());
    assert(&slot >= room.clients.data() && &slot < room.clients.data() + MAX_CLIENTS);
    // An address holds at most one slot and no room; a tag names one client of its room.
    assert(client_place(addr) < 0 && room_by_host(addr) == nullptr);
    assert(client_by_tag(room, tag) == nullptr || client_by_tag(room, tag) == &slot);
    if (slot.tag.value != 0) client_clear(slot);
    slot.addr = addr;
    slot.tag = tag;
    uint32_t where = slot_of(room) * MAX_CLIENTS + uint32_t(&slot - room.clients.data());
    client_by_addr_index_.insert_shared(fingerprint(addr), where);
}

void RoomTable::client_clear(ClientSlot& slot) {
    if (slot.tag.value != 0) {
        uint64_t key = fingerprint(slot.addr);
        int where = client_by_addr_index_.find(key, [&](int found) {
            return &rooms_[found / MAX_CLIENTS].clients[found % MAX_CLIENTS] == &slot;
        });
        assert(where >= 0);
        client_by_addr_index_.erase(key, uint32_t(where));
    }
    slot = ClientSlot{};
}

bool RoomTable::id_in_use(RoomId id) const {
    return room_by_id_index_.find(id.value) >= 0;
}

IdChoice RoomTable::choose_id(RoomId requested, RandomSource random) const {
    if (requested.valid() && !id_in_use(requested)) return {requested, true};
    // At most 256 of 2^25 ids are ever taken, so a draw collides rarely and the loop ends.
    RoomId id;
    do {
        int r1 = random.next(random.context);
        int r2 = random.next(random.context);
        id = room_id_from_random(r1, r2);
    } while (id_in_use(id));
    assert(id.valid());
    return {id, id == requested};
}

Tag tag_allocate(Room& room) {
    assert(room.id.value != 0 && room.next_tag.valid() && client_count(room) < MAX_CLIENTS);
    Tag tag = room.next_tag;
    // With at most MAX_CLIENTS - 1 other clients, a free tag turns up within MAX_CLIENTS steps.
    while (client_by_tag(room, tag) != nullptr)
        tag = Tag(tag.value == MAX_TAG ? 1 : tag.value + 1);
    room.next_tag = Tag(tag.value == MAX_TAG ? 1 : tag.value + 1);
    assert(tag.valid());
    return tag;
}

}  // namespace kiv
