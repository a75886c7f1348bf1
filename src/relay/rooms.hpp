// The room table: every piece of state the relay keeps about its peers, in one fixed array.
// A record is free when its key is zero (room id 0, client tag 0) and is freed by zeroing it,
// so "all zeros" is always a valid empty state. Records are filled and cleared only through
// the RoomTable member functions, which keeps any lookup structure in step with the table.
#pragma once

#include <array>
#include <cstdint>

#include "relay/fixed_index.hpp"
#include "relay/settings.hpp"
#include "wire/peer.hpp"

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
    // 32 bits of the MAC of the open token that opened it; 0 when opened without one. Rooms
    // of one token share it, so that the rooms a token holds can be counted.
    uint32_t token_fingerprint;
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
        : peer_hash_(PeerHashKey::from_seed(hash_key)),
          network_multiplier_(peer_hash_.multipliers[0] | 1),
          room_by_host_index_(hash_key),
          room_by_id_index_(hash_key),
          client_by_addr_index_(hash_key),
          host_network_index_(hash_key) {}
    // With a chosen peer hash, such as one under which every peer collides.
    explicit RoomTable(const PeerHashKey& peer_hash)
        : peer_hash_(peer_hash), network_multiplier_(1) {}

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
    // How many rooms are hosted from the network of `peer` (its network_key(IPV6_LIMIT_PREFIX)),
    // any port.
    int rooms_hosted_from(const Peer& peer) const;

    // Fills a free record as a newly opened room with next_tag 1.
    void room_open(Room& room, RoomId id, const Peer& host, uint32_t now_ms);
    void room_clear(Room& room);
    void client_join(Room& room, ClientSlot& slot, Tag tag, const Peer& addr);
    void client_clear(ClientSlot& slot);

    // The requested id when it is in range and unused, otherwise a random unused one.
    IdChoice choose_id(RoomId requested, RandomSource random) const;

  private:
    // A source network that hosts rooms, and how many; free when `rooms` is 0.
    struct HostNetwork {
        uint64_t network;  // Peer::network_key(IPV6_LIMIT_PREFIX)
        int rooms;
    };

    bool id_in_use(RoomId id) const;
    uint32_t slot_of(const Room& room) const;
    // The indexes' keys: 48 bits of a keyed hash of what they stand for. Peers are wider than
    // any key, so a lookup compares the whole peer (or network) in the record it finds.
    uint64_t fingerprint(const Peer& peer) const { return peer.hash(peer_hash_) >> 16; }
    uint64_t network_fingerprint(uint64_t network) const {
        return (network * network_multiplier_) >> 16;
    }
    // Room slot * MAX_CLIENTS + client slot of the client `peer`, or -1.
    int client_place(const Peer& peer) const;
    int host_network_of(uint64_t network) const;
    void host_network_add(uint64_t network);
    void host_network_remove(uint64_t network);

    PeerHashKey peer_hash_ = PeerHashKey::from_seed(0);
    uint64_t network_multiplier_ = peer_hash_.multipliers[0] | 1;

    std::array<Room, MAX_ROOMS> rooms_{};
    // Keys of the records in use, kept in step by the four members that fill and clear them.
    FixedIndex<MAX_ROOMS> room_by_host_index_;
    FixedIndex<MAX_ROOMS> room_by_id_index_;
    // Value: room slot * MAX_CLIENTS + client slot.
    FixedIndex<MAX_ROOMS * MAX_CLIENTS> client_by_addr_index_;
    // Host network -> its record in host_networks_, for networks that host at least one room.
    // Records are taken from the top of the stack of free ones.
    FixedIndex<MAX_ROOMS> host_network_index_;
    std::array<HostNetwork, MAX_ROOMS> host_networks_{};
    std::array<uint16_t, MAX_ROOMS> free_host_networks_ = all_host_networks();
    int free_host_network_count_ = MAX_ROOMS;

    static constexpr std::array<uint16_t, MAX_ROOMS> all_host_networks() {
        std::array<uint16_t, MAX_ROOMS> records{};
        for (int i = 0; i < MAX_ROOMS; ++i)
            records[size_t(i)] = uint16_t(MAX_ROOMS - 1 - i);
        return records;
    }
};

// The next free tag from the room's next_tag on (wrapping 65535 to 1), skipping tags that
// current clients hold so that a tag always names exactly one client; next_tag then follows it.
Tag tag_allocate(Room& room);

// The candidate id drawn from two successive rand() results.
inline RoomId room_id_from_random(int r1, int r2) {
    return RoomId((((uint32_t(r1) << 15) ^ uint32_t(r2)) & (MAX_ROOM_ID - 1)) + 1);
}

}  // namespace kiv
