// The room table: every piece of state the relay keeps about its peers, in one fixed array.
// A record is free when its key is zero (room id 0, client tag 0) and is freed by zeroing it,
// so "all zeros" is always a valid empty state. Records are filled and cleared only through
// the RoomTable member functions, which keeps any lookup structure in step with the table.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>

#include "fixed_index.hpp"
#include "settings.hpp"

namespace kiv {

struct ClientSlot {
    sockaddr_in addr;  // stored exactly as received
    uint32_t tag;      // 1..65535; 0 marks the slot free
    uint32_t seen;     // now_ms of the client's last MSG_DATA
};

struct Room {
    uint32_t id;  // 1..2^25; 0 marks the record free
    sockaddr_in host;
    uint32_t host_seen;
    uint32_t next_tag;
    std::array<ClientSlot, MAX_CLIENTS> clients;
};

// Peers are told apart by IPv4 address and port alone; the family field and padding of a
// received address are not part of its identity.
inline bool addr_equal(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

int client_count(const Room& room);
ClientSlot* free_client_slot(Room& room);
// Tag 0 never names a client, so it finds none.
ClientSlot* client_by_tag(Room& room, uint32_t tag);

// The random source room ids are drawn from: returns values in 0..RAND_MAX like rand().
struct RandomSource {
    int (*next)(void* context);
    void* context;
};

struct IdChoice {
    uint32_t id;
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
    Room* room_by_host(const sockaddr_in& addr);
    Room* room_by_id(uint32_t id);
    // On a match, sets *room to the room holding the slot; otherwise leaves it untouched.
    ClientSlot* client_by_addr(const sockaddr_in& addr, Room** room);
    Room* free_room();
    // How many rooms are hosted from the IPv4 address `ip` (network byte order), any port.
    int rooms_hosted_from(uint32_t ip) const;

    // Fills a free record as a newly opened room with next_tag 1.
    void room_open(Room& room, uint32_t id, const sockaddr_in& host, uint32_t now_ms);
    void room_clear(Room& room);
    void client_join(Room& room, ClientSlot& slot, uint32_t tag, const sockaddr_in& addr);
    void client_clear(Room& room, ClientSlot& slot);

    // The requested id when it is in range and unused, otherwise a random unused one.
    IdChoice choose_id(uint32_t requested, RandomSource random) const;

  private:
    bool id_in_use(uint32_t id) const;
    uint32_t slot_of(const Room& room) const;

    std::array<Room, MAX_ROOMS> rooms_{};
    // Keys of the records in use, kept in step by the four members that fill and clear them.
    FixedIndex<MAX_ROOMS> room_by_host_index_;
    FixedIndex<MAX_ROOMS> room_by_id_index_;
    // Value: room slot * MAX_CLIENTS + client slot.
    FixedIndex<MAX_ROOMS * MAX_CLIENTS> client_by_addr_index_;
    // Host IPv4 address -> number of rooms it hosts, for hosts with at least one.
    FixedIndex<MAX_ROOMS> rooms_by_host_ip_index_;
};

// The next free tag from the room's next_tag on (wrapping 65535 to 1), skipping tags that
// current clients hold so that a tag always names exactly one client; next_tag then follows it.
uint32_t tag_allocate(Room& room);

// The candidate id drawn from two successive rand() results.
inline uint32_t room_id_from_random(int r1, int r2) {
    return (((uint32_t(r1) << 15) ^ uint32_t(r2)) & (MAX_ROOM_ID - 1)) + 1;
}

}  // namespace kiv
