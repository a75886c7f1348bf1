#include "relay/snapshot.hpp"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace kiv {

// The private state the snapshot carries; every class that holds some names this one friend.
struct SnapshotAccess {
    static const Limits& limits(const Relay& relay) { return relay.limits_; }
    static Limits& limits(Relay& relay) { return relay.limits_; }
    static const SourceBudget& lookups(const Limits& limits) { return limits.lookups_; }
    static SourceBudget& lookups(Limits& limits) { return limits.lookups_; }
    static const SourceBudget& events(const Limits& limits) { return limits.events_; }
    static SourceBudget& events(Limits& limits) { return limits.events_; }
    template <class L>
    static auto& log_lines(L& limits) {
        return limits.log_lines_;
    }
    template <class L>
    static auto& lookup_answers(L& limits) {
        return limits.lookup_answers_;
    }
    template <class L>
    static auto& suppressed(L& limits) {
        return limits.suppressed_unreported_;
    }
    template <class C>
    static auto& units(C& ceiling) {
        return ceiling.units_;
    }
    template <class C>
    static auto& refilled_ms(C& ceiling) {
        return ceiling.refilled_ms_;
    }
    template <class B>
    static auto& buckets(B& budget) {
        return budget.buckets_;
    }
    static uint32_t full_units(const SourceBudget& budget) { return budget.full_units_; }
};

namespace {

constexpr char SNAPSHOT_MAGIC[8] = {'K', 'I', 'V', 'R', 'S', 'N', 'A', 'P'};
constexpr size_t CHECKED_FROM = 24;
constexpr size_t PEER_BYTES = 23;

// Every counter, in the order the snapshot keeps them.
template <class C, class F>
void each_counter(C& counters, F f) {
    for (auto* field : {&counters.datagrams_received,
                        &counters.dropped_short,
                        &counters.dropped_bad_magic,
                        &counters.dropped_unknown_type,
                        &counters.dropped_oversize,
                        &counters.dropped_no_client,
                        &counters.dropped_throttled,
                        &counters.throttled_lookups,
                        &counters.throttled_lookup_ceiling,
                        &counters.throttled_events,
                        &counters.forwarded_to_host,
                        &counters.forwarded_to_client,
                        &counters.bytes_to_host,
                        &counters.bytes_to_client,
                        &counters.datagrams_received_ipv6,
                        &counters.forwarded_to_host_ipv6,
                        &counters.forwarded_to_client_ipv6,
                        &counters.bytes_to_host_ipv6,
                        &counters.bytes_to_client_ipv6,
                        &counters.pongs_sent,
                        &counters.reflections_sent,
                        &counters.reflect_short,
                        &counters.send_failures,
                        &counters.receive_queue_drops,
                        &counters.rooms_opened,
                        &counters.rooms_closed_by_host,
                        &counters.rooms_closed_silent,
                        &counters.clients_joined,
                        &counters.clients_left,
                        &counters.clients_timed_out,
                        &counters.clients_moved,
                        &counters.clients_room_closed,
                        &counters.challenges_sent,
                        &counters.joins_validated,
                        &counters.joins_refused,
                        &counters.log_lines_dropped,
                        &counters.log_lines_suppressed})
        f(*field);
    for (auto& field : counters.errors_sent)
        f(field);
}
constexpr size_t COUNTERS = 37 + std::tuple_size_v<decltype(Counters::errors_sent)>;
// A counter added to Counters must be added above too, or it would not survive a hand-over.
static_assert(sizeof(Counters) == COUNTERS * sizeof(uint64_t), "each_counter misses a counter");

// Writes little-endian fields; with no buffer it only counts, which gives the size.
class Writer {
  public:
    Writer(uint8_t* out, size_t size) : out_(out), size_(size) {}
    void bytes(const void* data, size_t length) {
        if (out_ != nullptr) {
            assert(at_ + length <= size_);
            memcpy(out_ + at_, data, length);
        }
        at_ += length;
    }
    void number(uint64_t value, size_t length) {
        uint8_t little[8];
        for (size_t i = 0; i < length; ++i)
            little[i] = uint8_t(value >> (8 * i));
        bytes(little, length);
    }
    void peer(const Peer& peer) {
        uint8_t address[16] = {};
        uint32_t scope = 0;
        const sockaddr* name = peer.name();
        if (name->sa_family == AF_INET) {
            memcpy(address, &reinterpret_cast<const sockaddr_in*>(name)->sin_addr, 4);
        } else {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(name);
            memcpy(address, &v6->sin6_addr, 16);
            scope = v6->sin6_scope_id;
        }
        number(name->sa_family == AF_INET ? 4 : name->sa_family == AF_INET6 ? 6 : 0, 1);
        number(peer.port(), 2);
        bytes(address, 16);
        number(scope, 4);
    }
    size_t at() const { return at_; }
    uint8_t* out() const { return out_; }

  private:
    uint8_t* out_;
    size_t size_;
    size_t at_ = 0;
};

// Reads little-endian fields; a read past the end sets failed() and yields zeros.
class Reader {
  public:
    Reader(const uint8_t* bytes, size_t size, size_t at) : bytes_(bytes), size_(size), at_(at) {}
    uint64_t number(size_t length) {
        if (size_ - at_ < length) {
            failed_ = true;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < length; ++i)
            value |= uint64_t(bytes_[at_ + i]) << (8 * i);
        at_ += length;
        return value;
    }
    // An unset Peer when the family is unknown.
    Peer peer() {
        uint32_t family = uint32_t(number(1));
        uint16_t port = uint16_t(number(2));
        uint8_t address[16] = {};
        for (uint8_t& byte : address)
            byte = uint8_t(number(1));
        uint32_t scope = uint32_t(number(4));
        if (family == 4) {
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            v4.sin_port = htons(port);
            memcpy(&v4.sin_addr, address, 4);
            return Peer::from_sockaddr(reinterpret_cast<sockaddr*>(&v4), sizeof v4);
        }
        if (family != 6) return Peer{};
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        memcpy(&v6.sin6_addr, address, 16);
        v6.sin6_scope_id = scope;
        return Peer::from_sockaddr(reinterpret_cast<sockaddr*>(&v6), sizeof v6);
    }
    bool failed() const { return failed_; }
    bool at_end() const { return at_ == size_; }

  private:
    const uint8_t* bytes_;
    size_t size_;
    size_t at_;
    bool failed_ = false;
};

void write_rooms(const RoomTable& table, Writer& out) {
    int in_use = 0;
    for (const Room& room : table.rooms())
        in_use += room.id.value != 0;
    out.number(uint32_t(in_use), 2);
    for (size_t slot = 0; slot < table.rooms().size(); ++slot) {
        const Room& room = table.rooms()[slot];
        if (room.id.value == 0) continue;
        out.number(slot, 2);
        out.number(room.id.value, 4);
        out.peer(room.host);
        out.number(room.host_seen, 4);
        out.number(room.next_tag.value, 4);
        out.number(room.token_fingerprint, 4);
        out.number(uint32_t(client_count(room)), 1);
        for (size_t client = 0; client < room.clients.size(); ++client) {
            const ClientSlot& held = room.clients[client];
            if (held.tag.value == 0) continue;
            out.number(client, 1);
            out.number(held.tag.value, 4);
            out.peer(held.addr);
            out.number(held.seen, 4);
        }
    }
}

void write_budget(const SourceBudget& budget, Writer& out) {
    const auto& buckets = SnapshotAccess::buckets(budget);
    uint32_t in_use = 0;
    for (const auto& bucket : buckets)
        in_use += bucket.spent_units != 0;
    out.number(in_use, 4);
    for (size_t index = 0; index < buckets.size(); ++index) {
        if (buckets[index].spent_units == 0) continue;
        out.number(index, 4);
        out.number(buckets[index].source, 8);
        out.number(buckets[index].spent_units, 4);
        out.number(buckets[index].refilled_ms, 4);
    }
}

template <class Ceiling>
void write_ceiling(const Ceiling& ceiling, Writer& out) {
    out.number(SnapshotAccess::units(ceiling), 8);
    out.number(SnapshotAccess::refilled_ms(ceiling), 4);
}

void write_body(const Relay& relay, Writer& out) {
    write_rooms(relay.table(), out);
    out.number(COUNTERS, 2);
    each_counter(relay.counters(), [&](const uint64_t& value) { out.number(value, 8); });
    const Limits& limits = SnapshotAccess::limits(relay);
    write_ceiling(SnapshotAccess::log_lines(limits), out);
    write_ceiling(SnapshotAccess::lookup_answers(limits), out);
    out.number(SnapshotAccess::suppressed(limits), 8);
    write_budget(SnapshotAccess::lookups(limits), out);
    write_budget(SnapshotAccess::events(limits), out);
}

bool refuse(char* reason, size_t reason_size, const char* why) {
    snprintf(reason, reason_size, "%s", why);
    return false;
}

// One room and its clients, checked against the rules of the table before each is added.
bool restore_room(Reader& in, RoomTable& table) {
    Room* holding = nullptr;  // client_by_addr() needs somewhere to say which room
    uint32_t slot = uint32_t(in.number(2));
    RoomId id(uint32_t(in.number(4)));
    Peer host = in.peer();
    uint32_t host_seen = uint32_t(in.number(4));
    Tag next_tag(uint32_t(in.number(4)));
    uint32_t token_fingerprint = uint32_t(in.number(4));
    uint32_t clients = uint32_t(in.number(1));
    if (in.failed() || slot >= MAX_ROOMS || table.rooms()[slot].id.value != 0 || !id.valid() ||
        !next_tag.valid() || !host.is_set() || clients > MAX_CLIENTS ||
        table.room_by_id(id) != nullptr || table.room_by_host(host) != nullptr ||
        table.client_by_addr(host, &holding) != nullptr)
        return false;
    Room& room = table.rooms()[slot];
    table.room_open(room, id, host, host_seen);
    room.next_tag = next_tag;
    room.token_fingerprint = token_fingerprint;
    for (uint32_t i = 0; i < clients; ++i) {
        uint32_t place = uint32_t(in.number(1));
        Tag tag(uint32_t(in.number(4)));
        Peer addr = in.peer();
        uint32_t seen = uint32_t(in.number(4));
        if (in.failed() || place >= MAX_CLIENTS || room.clients[place].tag.value != 0 ||
            !tag.valid() || client_by_tag(room, tag) != nullptr || !addr.is_set() ||
            table.room_by_host(addr) != nullptr || table.client_by_addr(addr, &holding) != nullptr)
            return false;
        table.client_join(room, room.clients[place], tag, addr);
        room.clients[place].seen = seen;
    }
    return true;
}

template <class Ceiling>
void restore_ceiling(Reader& in, Ceiling& ceiling) {
    SnapshotAccess::units(ceiling) = in.number(8);
    SnapshotAccess::refilled_ms(ceiling) = uint32_t(in.number(4));
}

bool restore_budget(Reader& in, SourceBudget& budget) {
    auto& buckets = SnapshotAccess::buckets(budget);
    uint64_t in_use = in.number(4);
    if (in_use > buckets.size()) return false;
    for (uint64_t i = 0; i < in_use; ++i) {
        uint64_t index = in.number(4);
        uint64_t source = in.number(8);
        uint32_t spent_units = uint32_t(in.number(4));
        uint32_t refilled_ms = uint32_t(in.number(4));
        // More spent than a full budget holds would be a budget no refill ever brings back.
        if (in.failed() || index >= buckets.size() || spent_units == 0 ||
            spent_units > SnapshotAccess::full_units(budget) || buckets[index].spent_units != 0)
            return false;
        buckets[index] = {source, spent_units, refilled_ms};
    }
    return true;
}

bool restore_body(Reader& in, Relay& relay) {
    uint32_t rooms = uint32_t(in.number(2));
    if (rooms > MAX_ROOMS) return false;
    for (uint32_t i = 0; i < rooms; ++i) {
        if (!restore_room(in, relay.table())) return false;
    }
    if (in.number(2) != COUNTERS) return false;
    each_counter(relay.counters(), [&](uint64_t& value) { value = in.number(8); });
    Limits& limits = SnapshotAccess::limits(relay);
    restore_ceiling(in, SnapshotAccess::log_lines(limits));
    restore_ceiling(in, SnapshotAccess::lookup_answers(limits));
    SnapshotAccess::suppressed(limits) = in.number(8);
    return restore_budget(in, SnapshotAccess::lookups(limits)) &&
           restore_budget(in, SnapshotAccess::events(limits)) && !in.failed() && in.at_end();
}

// Back to what a new relay holds, after a restore that failed part way.
void empty_relay(Relay& relay) {
    for (Room& room : relay.table().rooms())
        relay.table().room_clear(room);
    relay.counters() = Counters{};
    Limits& limits = SnapshotAccess::limits(relay);
    for (SourceBudget* budget : {&SnapshotAccess::lookups(limits), &SnapshotAccess::events(limits)})
        SnapshotAccess::buckets(*budget).fill({});
    SnapshotAccess::log_lines(limits) = RateCeiling{LOG_LINES_BURST, LOG_LINES_PER_SECOND};
    SnapshotAccess::lookup_answers(limits) = RateCeiling{LOOKUPS_BURST, LOOKUPS_PER_SECOND};
    SnapshotAccess::suppressed(limits) = 0;
}

}  // namespace

uint64_t snapshot_checksum(const uint8_t* bytes, size_t size) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

size_t snapshot_size(const Relay& relay) {
    Writer counting(nullptr, 0);
    write_body(relay, counting);
    return SNAPSHOT_HEADER_BYTES + counting.at();
}

size_t snapshot_write(const Relay& relay, const SnapshotOrigin& origin, uint64_t hash_key,
                      uint32_t now_ms, uint32_t socket_drops_seen, uint8_t* out, size_t size) {
    size_t length = snapshot_size(relay);
    assert(out != nullptr && size >= length);
    Writer writer(out, size);
    writer.bytes(SNAPSHOT_MAGIC, sizeof SNAPSHOT_MAGIC);
    writer.number(SNAPSHOT_LAYOUT, 4);
    writer.number(length, 4);
    writer.number(0, 8);  // the checksum, once the rest is written
    writer.bytes(origin.boot_id.data(), origin.boot_id.size());
    writer.peer(origin.bound);
    writer.number(hash_key, 8);
    writer.number(now_ms, 4);
    writer.number(socket_drops_seen, 4);
    writer.number(MAX_ROOMS, 2);
    writer.number(MAX_CLIENTS, 2);
    writer.number(SOURCE_BUDGET_BUCKETS, 4);
    assert(writer.at() == SNAPSHOT_HEADER_BYTES);
    write_body(relay, writer);
    assert(writer.at() == length);
    uint64_t checksum = snapshot_checksum(out + CHECKED_FROM, length - CHECKED_FROM);
    Writer(out + 16, 8).number(checksum, 8);
    return length;
}

bool snapshot_check(const uint8_t* bytes, size_t size, const SnapshotOrigin& here,
                    SnapshotHeader* header, char* reason, size_t reason_size) {
    if (size < SNAPSHOT_HEADER_BYTES || memcmp(bytes, SNAPSHOT_MAGIC, sizeof SNAPSHOT_MAGIC) != 0)
        return refuse(reason, reason_size, "it is no snapshot");
    Reader in(bytes, size, sizeof SNAPSHOT_MAGIC);
    if (in.number(4) != SNAPSHOT_LAYOUT)
        return refuse(reason, reason_size, "its layout is not one this build knows");
    if (in.number(4) != size) return refuse(reason, reason_size, "it is cut short or too long");
    if (in.number(8) != snapshot_checksum(bytes + CHECKED_FROM, size - CHECKED_FROM))
        return refuse(reason, reason_size, "its checksum is wrong");
    if (memcmp(bytes + CHECKED_FROM, here.boot_id.data(), here.boot_id.size()) != 0)
        return refuse(reason, reason_size, "it was made on another boot");
    in = Reader(bytes, size, CHECKED_FROM + here.boot_id.size());
    if (!(in.peer() == here.bound))
        return refuse(reason, reason_size, "it was made by a relay bound elsewhere");
    header->hash_key = in.number(8);
    header->written_ms = uint32_t(in.number(4));
    header->socket_drops_seen = uint32_t(in.number(4));
    if (in.number(2) != MAX_ROOMS || in.number(2) != MAX_CLIENTS ||
        in.number(4) != SOURCE_BUDGET_BUCKETS)
        return refuse(reason, reason_size, "it was made by a build with other table sizes");
    return true;
}

bool snapshot_restore(const uint8_t* bytes, size_t size, Relay& relay, char* reason,
                      size_t reason_size) {
    assert(size >= SNAPSHOT_HEADER_BYTES);
    Reader in(bytes, size, SNAPSHOT_HEADER_BYTES);
    if (restore_body(in, relay)) return true;
    empty_relay(relay);
    return refuse(reason, reason_size, "its table breaks the table's rules");
}

}  // namespace kiv
