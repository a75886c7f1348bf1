#include "table_checks.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace kiv::check {

namespace {

char fault_text[256];

const char* fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* fault(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(fault_text, sizeof fault_text, format, args);
    va_end(args);
    return fault_text;
}

template <typename Record>
bool all_zero(const Record& record) {
    static_assert(std::has_unique_object_representations_v<Record>,
                  "a record with padding could not be compared byte by byte");
    static constexpr Record ZERO{};
    return memcmp(&record, &ZERO, sizeof record) == 0;
}

bool same_bytes(const Peer& a, const Peer& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

// The open room whose host is `addr`, or nullptr.
const Room* hosted_by(const RoomTable& table, const Peer& addr) {
    for (const Room& room : table.rooms()) {
        if (room.id.value != 0 && room.host == addr) return &room;
    }
    return nullptr;
}

// The slot `addr` holds and its room, or nullptr.
const ClientSlot* slot_of(const RoomTable& table, const Peer& addr, const Room** room_out) {
    for (const Room& room : table.rooms()) {
        if (room.id.value == 0) continue;
        for (const ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0 && slot.addr == addr) {
                *room_out = &room;
                return &slot;
            }
        }
    }
    return nullptr;
}

// Whether two of `peers` are the same peer (an IPv4 address and its mapped form included):
// sorted by a hash, only peers of one hash are compared.
bool has_duplicate_peer(const Peer* peers, int count) {
    static const PeerHashKey key = PeerHashKey::from_seed(1);
    struct Entry {
        uint64_t hash;
        int index;
        bool operator<(const Entry& other) const { return hash < other.hash; }
    };
    static Entry entries[MAX_ROOMS * (MAX_CLIENTS + 1)];
    for (int i = 0; i < count; ++i)
        entries[i] = {peers[i].hash(key), i};
    std::sort(entries, entries + count);
    for (int i = 0; i < count; ++i) {
        for (int j = i + 1; j < count && entries[j].hash == entries[i].hash; ++j) {
            if (peers[entries[i].index] == peers[entries[j].index]) return true;
        }
    }
    return false;
}

// Sorts `keys` and reports whether two of them are equal.
template <typename Key>
bool has_duplicate(Key* keys, int count) {
    std::sort(keys, keys + count);
    return std::adjacent_find(keys, keys + count) != keys + count;
}

const char* room_fault(const Room& room, int index) {
    if (room.id.value == 0) {
        return all_zero(room) ? nullptr : fault("free room %d is not all zeros", index);
    }
    if (!room.id.valid()) return fault("room %d has id %u beyond 2^25", index, room.id.value);
    if (!room.next_tag.valid()) {
        return fault("room %d has next_tag %u", index, room.next_tag.value);
    }
    uint32_t tags[MAX_CLIENTS];
    int count = 0;
    for (int s = 0; s < MAX_CLIENTS; ++s) {
        const ClientSlot& slot = room.clients[size_t(s)];
        if (slot.tag.value == 0) {
            if (!all_zero(slot)) return fault("free slot %d of room %d is not zeros", s, index);
            continue;
        }
        if (!slot.tag.valid()) {
            return fault("room %d slot %d has tag %u", index, s, slot.tag.value);
        }
        tags[count++] = slot.tag.value;
    }
    if (has_duplicate(tags, count)) return fault("two clients of room %d share a tag", index);
    return nullptr;
}

}  // namespace

const char* table_fault(const RoomTable& table) {
    uint32_t ids[MAX_ROOMS];
    static Peer hosts[MAX_ROOMS];
    static Peer peers[MAX_ROOMS * (MAX_CLIENTS + 1)];  // hosts and clients together
    int rooms = 0;
    int people = 0;
    for (int index = 0; index < MAX_ROOMS; ++index) {
        const Room& room = table.rooms()[size_t(index)];
        if (const char* text = room_fault(room, index)) return text;
        if (room.id.value == 0) continue;
        ids[rooms] = room.id.value;
        hosts[rooms++] = peers[people++] = room.host;
        for (const ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0) peers[people++] = slot.addr;
        }
    }
    if (has_duplicate(ids, rooms)) return fault("two open rooms share an id");
    if (has_duplicate_peer(hosts, rooms)) return fault("an address hosts two rooms");
    // Hosts are unique by now, so any repeat is a second slot or a slot held by a host.
    if (has_duplicate_peer(peers, people)) return fault("an address holds two places in the table");
    return nullptr;
}

const char* sweep_fault(const RoomTable& table, uint32_t now_ms) {
    for (const Room& room : table.rooms()) {
        if (room.id.value == 0) continue;
        if (uint32_t(now_ms - room.host_seen) > TIMEOUT_MS) {
            return fault("room %u kept after its host was silent %u ms", room.id.value,
                         uint32_t(now_ms - room.host_seen));
        }
        for (const ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0 && uint32_t(now_ms - slot.seen) > TIMEOUT_MS) {
                return fault("room %u tag %u kept after %u ms of silence", room.id.value,
                             slot.tag.value, uint32_t(now_ms - slot.seen));
            }
        }
    }
    return nullptr;
}

namespace {

const char* reply_fault(const Arrival& arrival, const uint8_t* sent, const Outgoing& out,
                        const RoomTable& table) {
    bool reflected = sent[OFFSET_TYPE] == uint8_t(MsgType::MSG_REFLECTED);
    if (out.length != (reflected ? REFLECT_SIZE : HEADER_SIZE)) {
        return fault("a reply of %u bytes", out.length);
    }
    if (!same_bytes(out.to, arrival.source)) return fault("a reply not sent to the sender");
    uint32_t value = header_value(sent);
    switch (MsgType(sent[OFFSET_TYPE])) {
        case MsgType::MSG_REFLECTED:
            if (arrival.bytes[OFFSET_TYPE] != uint8_t(MsgType::MSG_REFLECT) ||
                !(Peer::from_address16(sent + REFLECT_ADDRESS_OFFSET, uint16_t(value)) ==
                  arrival.source) ||
                value > 65535) {
                return fault("a reflection that names another address than the asker's");
            }
            return nullptr;
        case MsgType::MSG_PONG:
            if (arrival.bytes[OFFSET_TYPE] != uint8_t(MsgType::MSG_PING) ||
                value != header_value(arrival.bytes)) {
                return fault("a pong that does not answer a ping with its value");
            }
            return nullptr;
        case MsgType::MSG_ERROR:
            if (value < uint32_t(ErrorCode::ERR_NO_ROOM) ||
                value > uint32_t(ErrorCode::ERR_NOT_ALLOWED)) {
                return fault("an error reply with value %u", value);
            }
            return nullptr;
        case MsgType::MSG_OPENED: {
            const Room* room = hosted_by(table, arrival.source);
            if (room == nullptr || room->id != header_room(sent)) {
                return fault("opened %u, but the sender does not host that room", value);
            }
            return nullptr;
        }
        case MsgType::MSG_CHALLENGE: {
            const Room* room = nullptr;
            const ClientSlot* slot = slot_of(table, arrival.source, &room);
            if (arrival.bytes[OFFSET_TYPE] != uint8_t(MsgType::MSG_DATA) ||
                (slot != nullptr && room->id == header_room(arrival.bytes))) {
                return fault("a challenge that answers no join");
            }
            return nullptr;
        }
        case MsgType::MSG_OPEN:
        case MsgType::MSG_DATA:
        case MsgType::MSG_CLOSE:
        case MsgType::MSG_LEAVE:
        case MsgType::MSG_PING:
        case MsgType::MSG_JOIN:
        case MsgType::MSG_REFLECT:
        default:
            break;
    }
    return fault("a reply of type %u", unsigned(sent[OFFSET_TYPE]));
}

const char* forward_fault(const Arrival& arrival, const uint8_t* sent, const Outgoing& out,
                          const RoomTable& table) {
    if (arrival.bytes[OFFSET_TYPE] != uint8_t(MsgType::MSG_DATA) ||
        arrival.bytes[OFFSET_VERSION] != PROTOCOL_VERSION) {
        return fault("a forward made from something other than a MSG_DATA");
    }
    if (arrival.length > MAX_DATAGRAM) return fault("an oversized datagram was forwarded");
    if (out.length != arrival.length) {
        return fault("a forward of %u bytes from %zu", out.length, arrival.length);
    }
    if (sent[OFFSET_RESERVED] != 0 || sent[OFFSET_RESERVED + 1] != 0) {
        return fault("a forward with non-zero reserved bytes");
    }
    if (memcmp(sent + HEADER_SIZE, arrival.bytes + HEADER_SIZE, arrival.length - HEADER_SIZE)) {
        return fault("a forward whose payload changed");
    }
    if (out.to == arrival.source) return fault("a datagram forwarded to its sender");
    if (const Room* room = hosted_by(table, arrival.source)) {
        const ClientSlot* client = nullptr;
        for (const ClientSlot& slot : room->clients) {
            if (slot.tag.value != 0 && slot.tag == header_tag(arrival.bytes)) client = &slot;
        }
        if (client == nullptr || !same_bytes(out.to, client->addr) || header_value(sent) != 0) {
            return fault("a host's datagram not sent to the client it names, with value 0");
        }
        return nullptr;
    }
    const Room* room = nullptr;
    const ClientSlot* slot = slot_of(table, arrival.source, &room);
    if (slot == nullptr || room->id != header_room(arrival.bytes)) {
        return fault("a client's datagram forwarded without the client in the room it named");
    }
    if (!same_bytes(out.to, room->host) || header_tag(sent) != slot->tag) {
        return fault("a client's datagram not sent to its host with its tag");
    }
    return nullptr;
}

}  // namespace

const char* outgoing_fault(const Arrival& arrival, const uint8_t* sent, const Outgoing& out,
                           const RoomTable& table) {
    if (out.length == 0) return nullptr;
    if (arrival.length < HEADER_SIZE || !header_has_magic(arrival.bytes)) {
        return fault("an answer to a datagram that is no message");
    }
    if (out.length > arrival.length) {
        return fault("%u bytes sent for %zu received", out.length, arrival.length);
    }
    if (!header_has_magic(sent) || sent[OFFSET_VERSION] != PROTOCOL_VERSION ||
        sent[OFFSET_RESERVED] != 0 || sent[OFFSET_RESERVED + 1] != 0) {
        return fault("a datagram sent with a malformed header");
    }
    if (sent[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA)) {
        return forward_fault(arrival, sent, out, table);
    }
    return reply_fault(arrival, sent, out, table);
}

}  // namespace kiv::check
