// The room table: every piece of state the relay keeps about its peers, in one fixed array.
// A record is free when its key is zero (room id 0, client tag 0) and is freed by zeroing it,
// so "all zeros" is always a valid empty state. Records are filled and cleared only through
// the RoomTable member functions, which keeps any lookup structure in step with the table.
#pragma once

#include <array>
#include <cstdint>

#include "fixed_index.hpp"
#include "peer.hpp"
#include "settings.hpp"

namespace kiv {

struct ClientSlot {
    Peer addr;      // stored exactly as received
    Tag tag;        // 1..65535; 0 marks the slot free
    uint32_t seen;  // now_ms of the client's last MSG_DATA
};

struct Room {
    RoomId id;  // 1..2^25; 0 marks the record free
    Peer host;
    uint32_t host_seen;
    Tag next_tag;
    std::array<ClientSlot, MAX_CLIENTS> clients;
};

int client_count(const Room& room);
ClientSlot* free_client_slot(Room& room);
// Tag 0 never names a client, so it finds none.
ClientSlot* client_by_tag(Room& room, Tag tag);

// The random source room ids are drawn from: returns values in 0..RAND_MAX like rand().
struct RandomSource {
    int (*next)(void* context);
    void* context;
};

struct IdChoice {
    RoomId id;
    bool reopened;  // the host got the id it asked for
};

class RoomTable {
  public:
    RoomTable() = default;
    // `hash_key` keys the indexes' hashing, so that peers cannot choose keys that collide.
    explicit RoomTable(uint64_t hash_key)
        : room_by_host_index_(hash_key),
          room_by_id_index_(hash_key),
          client_by_addr_index_(hash_key),
          rooms_by_host_ip_index_(hash_key) {}

    const std::array<Room, MAX_ROOMS>& rooms() const { return rooms_; }
    // Times and next_tag may be changed through this; keys (id, host, tag, addr) only
    // through the members below.
    std::array<Room, MAX_ROOMS>& rooms() { return rooms_; }

    // Lookups in constant time through the indexes. The table's invariants make every
    // match unique, so each answers exactly what a scan of the table in slot order would.
    Room* room_by_host(const Peer& peer);
    Room* room_by_id(RoomId id);
    // On a match, sets *room to the room holding the slot; otherwise leaves it untouched.
    ClientSlot* client_by_addr(const Peer& peer, Room** room);
    Room* free_room();
    // How many rooms are hosted from the network of `peer` (its network_key()), any port.
    int rooms_hosted_from(const Peer& peer) const;

    // Fills a free record as a newly opened room with next_tag 1.
    void room_open(Room& room, RoomId id, const Peer& host, uint32_t now_ms);
    void room_clear(Room& room);
    void client_join(Room& room, ClientSlot& slot, Tag tag, const Peer& addr);
    void client_clear(ClientSlot& slot);

    // The requested id when it is in range and unused, otherwise a random unused one.
    IdChoice choose_id(RoomId requested, RandomSource random) const;

  private:
    bool id_in_use(RoomId id) const;
    uint32_t slot_of(const Room& room) const;

    std::array<Room, MAX_ROOMS> rooms_{};
    // Keys of the records in use, kept in step by the four members that fill and clear them.
    FixedIndex<MAX_ROOMS> room_by_host_index_;
    FixedIndex<MAX_ROOMS> room_by_id_index_;
    // Value: room slot * MAX_CLIENTS + client slot.
    FixedIndex<MAX_ROOMS * MAX_CLIENTS> client_by_addr_index_;
    // Host network (Peer::network_key) -> number of rooms it hosts, for those with at least one.
    FixedIndex<MAX_ROOMS> rooms_by_host_ip_index_;
};

// The next free tag from the room's next_tag on (wrapping 65535 to 1), skipping tags that
// current clients hold so that a tag always names exactly one client; next_tag then follows it.
Tag tag_allocate(Room& room);

// The candidate id drawn from two successive rand() results.
inline RoomId room_id_from_random(int r1, int r2) {
    return RoomId((((uint32_t(r1) << 15) ^ uint32_t(r2)) & (MAX_ROOM_ID - 1)) + 1);
}

}  // namespace kiv
