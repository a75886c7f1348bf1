#include "relay/relay.hpp"

#include <cassert>
#include <cstdarg>
#include <cstdio>

#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv {

namespace {

// Replies reuse the received buffer: every datagram answered is at least a header long, and
// the reply is exactly one header, so nothing else is needed and nothing is copied.
template <typename Value>
Outgoing reply(uint8_t* datagram, const Peer& source, MsgType type, Value value) {
    header_write(datagram, type, value);
    return {source, uint32_t(HEADER_SIZE)};
}

constexpr Outgoing NOTHING{};
// What token_verdict answers for an open it lets through: no error.
constexpr ErrorCode ADMITTED = ErrorCode(0);

}  // namespace

void Relay::log(const char* format, ...) {
    if (!limits_.log_line_allowed(now_ms_)) return;
    char line[192];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_.write(log_.context, line);
}

Outgoing Relay::refuse(uint8_t* datagram, const Peer& source, ErrorCode error) {
    ++counters_.errors_sent[size_t(error)];
    return reply(datagram, source, MsgType::MSG_ERROR, uint32_t(error));
}

Outgoing Relay::handle(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms) {
    assert(datagram != nullptr && source.is_set());
    ++counters_.datagrams_received;
    now_ms_ = now_ms;
    counters_.datagrams_received_ipv6 += !source.is_ipv4();
    if (length < HEADER_SIZE) {
        ++counters_.dropped_short;
        return NOTHING;
    }
    if (!header_has_magic(datagram)) {
        ++counters_.dropped_bad_magic;
        return NOTHING;
    }
    if (datagram[OFFSET_VERSION] != PROTOCOL_VERSION) {
        return refuse(datagram, source, ErrorCode::ERR_BAD_VERSION);
    }
    switch (MsgType(datagram[OFFSET_TYPE])) {
        case MsgType::MSG_OPEN:
            return on_open(datagram, length, header_room(datagram), source, now_ms);
        case MsgType::MSG_DATA:
            return on_data(datagram, length, source, now_ms);
        case MsgType::MSG_CLOSE:
            on_close(source, now_ms);
            return NOTHING;
        case MsgType::MSG_LEAVE:
            on_leave(source, now_ms);
            return NOTHING;
        case MsgType::MSG_PING:
            // A ping proves nothing about a room: it is answered and touches no record.
            ++counters_.pongs_sent;
            return reply(datagram, source, MsgType::MSG_PONG, header_value(datagram));
        case MsgType::MSG_JOIN:
            if (cookie_key_ != nullptr) return on_join(datagram, length, source, now_ms);
            break;  // an unknown type to a relay that does not validate joins
        case MsgType::MSG_REFLECT:
            if (reflect_) return on_reflect(datagram, length, source, now_ms);
            break;  // a relay without --reflect knows no such type
        case MsgType::MSG_OPENED:
        case MsgType::MSG_ERROR:
        case MsgType::MSG_PONG:
        case MsgType::MSG_CHALLENGE:
        case MsgType::MSG_REFLECTED:
            break;
    }
    ++counters_.dropped_unknown_type;  // also type 0 and the types no peer sends
    return NOTHING;
}

// Datagrams over a limit (a lookup, an event) are dropped silently and before anything
// changes; nothing is logged, since a line per refusal would let whoever is refused fill
// the log.

Outgoing Relay::on_open(uint8_t* datagram, size_t length, RoomId requested, const Peer& source,
                        uint32_t now_ms) {
    if (Room* room = table_.room_by_host(source)) {
        assert(room->id.valid());
        // A repeated open is the host's keep-alive: same room, whatever id it asks for.
        room->host_seen = now_ms;
        return reply(datagram, source, MsgType::MSG_OPENED, room->id);
    }
    uint64_t network = source.network_key(IPV6_LIMIT_PREFIX);
    if (!limits_.event_allowed(network, now_ms)) return NOTHING;
    RoomId wanted = requested;
    uint32_t fingerprint = 0;
    if (open_gate_.required()) {
        ErrorCode verdict = token_verdict(datagram + HEADER_SIZE, length - HEADER_SIZE, now_ms,
                                          &wanted, &fingerprint);
        if (verdict != ADMITTED) {
            limits_.event_spend(network, now_ms);
            return refuse(datagram, source, verdict);
        }
    }
    // Asking for an id tells whether it is taken (the answer is then another id), so it is a
    // lookup like a join, paid from the same budget whatever the answer; but it may also
    // spend the lookups kept back for re-opens (REOPEN_LOOKUP_RESERVE).
    bool asks_for_id = wanted.valid();
    if (asks_for_id &&
        (!limits_.open_lookup_allowed(network, now_ms) || !limits_.lookup_answer_allowed(now_ms))) {
        return NOTHING;
    }
    limits_.event_spend(network, now_ms);
    Room* old_room = nullptr;
    if (ClientSlot* slot = table_.client_by_addr(source, &old_room)) {
        // A host holds no client slot; the room it leaves is not told.
        table_.client_clear(*slot);
        ++counters_.clients_moved;
    }
    Room* room = table_.free_room();
    if (room == nullptr || limits_.rooms_capped(table_.rooms_hosted_from(source))) {
        return refuse(datagram, source, ErrorCode::ERR_NO_FREE_ROOM);
    }
    if (asks_for_id) limits_.lookup_spend(network, now_ms);

    IdChoice choice = table_.choose_id(wanted, random_);
    table_.room_open(*room, choice.id, source, now_ms);
    room->token_fingerprint = fingerprint;
    // The source now hosts exactly this room and holds no client slot.
    assert(table_.room_by_host(source) == room && room->id == choice.id);
    assert(table_.client_by_addr(source, &old_room) == nullptr);
    ++counters_.rooms_opened;
    log("room %s opened by %s%s", room_code(room->id), addr_str(source),
        choice.reopened && choice.id == requested ? " (re-opened)" : "");
    return reply(datagram, source, MsgType::MSG_OPENED, room->id);
}

// With --open-key, what an open's token lets it do. A room-bound token opens its own id
// only (an open asking for 0 asks for it), and while that id is taken nothing. An any-room
// token asks for no id: it gets a drawn one, so that no holder of one can take the id of a
// room while it is free (after a restart or its host's silence). A token's rooms are
// counted by fingerprint; an any-room token holds at most ROOMS_PER_TOKEN at once.
ErrorCode Relay::token_verdict(const uint8_t* payload, size_t length, uint32_t now_ms,
                               RoomId* wanted, uint32_t* fingerprint) {
    OpenToken token;
    if (!open_gate_.admits(payload, length, now_ms, &token)) return ErrorCode::ERR_NOT_ALLOWED;
    *fingerprint = load_le32(token.mac);
    if (*fingerprint == 0) *fingerprint = 1;  // 0 is a room opened without a token
    if (token.version == OPEN_TOKEN_ROOM_VERSION) {
        RoomId bound(token.room_id);
        if (!bound.valid() || (wanted->value != 0 && *wanted != bound)) {
            return ErrorCode::ERR_NOT_ALLOWED;
        }
        *wanted = bound;
        return table_.room_by_id(bound) == nullptr ? ADMITTED : ErrorCode::ERR_NO_FREE_ROOM;
    }
    *wanted = RoomId();
    int held = 0;
    for (const Room& room : table_.rooms())
        held += room.id.value != 0 && room.token_fingerprint == *fingerprint;
    return held < ROOMS_PER_TOKEN ? ADMITTED : ErrorCode::ERR_NO_FREE_ROOM;
}

void Relay::on_close(const Peer& source, uint32_t now_ms) {
    Room* room = table_.room_by_host(source);
    if (room == nullptr) return;
    uint64_t network = source.network_key(IPV6_LIMIT_PREFIX);
    if (!limits_.event_allowed(network, now_ms)) return;  // the room stays as it was
    limits_.event_spend(network, now_ms);
    room_close(*room, CloseReason::host_closed);
    assert(table_.room_by_host(source) == nullptr);
}

void Relay::room_close(Room& room, CloseReason reason) {
    bool by_host = reason == CloseReason::host_closed;
    int clients = client_count(room);
    log("room %s closed (%s), %d client(s)", room_code(room.id),
        by_host ? "host closed it" : "host silent", clients);
    assert(room.id.value != 0);
    table_.room_clear(room);
    assert(room.id.value == 0);
    ++(by_host ? counters_.rooms_closed_by_host : counters_.rooms_closed_silent);
    counters_.clients_room_closed += uint64_t(clients);
}

Outgoing Relay::on_data(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms) {
    // Forwarding the first MAX_DATAGRAM bytes of a longer datagram would hand the peer
    // corrupted data as if it were whole; such a datagram is dropped before it counts as
    // a sign of life or a join.
    if (length > MAX_DATAGRAM) {
        ++counters_.dropped_oversize;
        return NOTHING;
    }
    // The host test comes first, so a host's datagram is never taken for a join.
    if (Room* room = table_.room_by_host(source)) {
        return forward_to_client(*room, datagram, length, source, now_ms);
    }
    RoomId wanted = header_room(datagram);
    Room* room = nullptr;
    ClientSlot* slot = table_.client_by_addr(source, &room);
    if (slot == nullptr || room->id != wanted) {
        Entry entry = enter_room(datagram, wanted, slot, source, now_ms);
        if (entry.slot == nullptr) return entry.refusal;
        slot = entry.slot;
        room = entry.room;
    }
    // The source holds exactly this slot, in the room it named.
    assert(room->id == wanted && slot->addr == source && slot->tag.valid());
    return forward_to_host(*room, *slot, datagram, length, now_ms);
}

// The two forwards are the relay's work per datagram: inline, so that cutting on_data into
// steps costs no call on that path.
inline Outgoing Relay::forward_to_client(Room& room, uint8_t* datagram, size_t length,
                                         [[maybe_unused]] const Peer& source, uint32_t now_ms) {
    room.host_seen = now_ms;
    ClientSlot* client = client_by_tag(room, header_tag(datagram));
    if (client == nullptr) {
        ++counters_.dropped_no_client;
        return NOTHING;
    }
    assert(!(client->addr == source));  // a host holds no client slot
    header_write(datagram, MsgType::MSG_DATA, Tag());
    ++counters_.forwarded_to_client;
    counters_.bytes_to_client += length;
    if (!client->addr.is_ipv4()) {
        ++counters_.forwarded_to_client_ipv6;
        counters_.bytes_to_client_ipv6 += length;
    }
    return {client->addr, uint32_t(length)};
}

inline Outgoing Relay::forward_to_host(Room& room, ClientSlot& slot, uint8_t* datagram,
                                       size_t length, uint32_t now_ms) {
    slot.seen = now_ms;
    header_write(datagram, MsgType::MSG_DATA, slot.tag);
    ++counters_.forwarded_to_host;
    counters_.bytes_to_host += length;
    if (!room.host.is_ipv4()) {
        ++counters_.forwarded_to_host_ipv6;
        counters_.bytes_to_host_ipv6 += length;
    }
    return {room.host, uint32_t(length)};
}

bool Relay::outsider_allowed(RoomId wanted, bool moves, uint64_t network, uint32_t now_ms) {
    if (!limits_.lookup_allowed(network, now_ms)) return false;
    Room* target = wanted.value == 0 ? nullptr : table_.room_by_id(wanted);
    if (target == nullptr && !limits_.lookup_answer_allowed(now_ms)) return false;
    bool joins = target != nullptr && free_client_slot(*target) != nullptr;
    if (moves || joins) {
        if (!limits_.event_allowed(network, now_ms)) return false;
        limits_.event_spend(network, now_ms);
    }
    return true;
}

// From outside the room it names: a lookup, and a join or a move if it changes anything. The
// limits are all asked before the table changes.
Relay::Entry Relay::enter_room(uint8_t* datagram, RoomId wanted, ClientSlot* old_slot,
                               const Peer& source, uint32_t now_ms, bool proven) {
    uint64_t network = source.network_key(IPV6_LIMIT_PREFIX);
    Outgoing challenge = NOTHING;
    if (cookie_key_ != nullptr && !proven &&
        challenged(datagram, wanted, source, network, now_ms, &challenge)) {
        return {nullptr, nullptr, challenge};
    }
    if (!outsider_allowed(wanted, old_slot != nullptr, network, now_ms)) return {};
    if (old_slot != nullptr) {
        // The client moves to another room; the room it leaves is not told.
        table_.client_clear(*old_slot);
        ++counters_.clients_moved;
    }
    Room* room = wanted.value == 0 ? nullptr : table_.room_by_id(wanted);
    if (room == nullptr) {
        limits_.lookup_spend(network, now_ms);
        return {nullptr, nullptr, refuse(datagram, source, ErrorCode::ERR_NO_ROOM)};
    }
    ClientSlot* slot = free_client_slot(*room);
    if (slot == nullptr) {
        return {nullptr, nullptr, refuse(datagram, source, ErrorCode::ERR_ROOM_FULL)};
    }
    table_.client_join(*room, *slot, tag_allocate(*room), source);
    ++counters_.clients_joined;
    log("room %s: %s joined as tag %u (%d client(s))", room_code(room->id), addr_str(source),
        slot->tag.value, client_count(*room));
    return {slot, room, NOTHING};
}

// Whether a datagram that would join is answered with a challenge instead (or dropped, out
// of lookups). Nothing changes but the lookup budget: an old slot elsewhere stays until the
// join is proven, and a full or unknown room is answered as without validation. The
// challenge is one header, never longer than the datagram that caused it.
bool Relay::challenged(uint8_t* datagram, RoomId wanted, const Peer& source, uint64_t network,
                       uint32_t now_ms, Outgoing* challenge) {
    if (!limits_.lookup_allowed(network, now_ms)) return true;
    Room* target = wanted.value == 0 ? nullptr : table_.room_by_id(wanted);
    if (target == nullptr || free_client_slot(*target) == nullptr) return false;
    limits_.lookup_spend(network, now_ms);
    ++counters_.challenges_sent;
    uint32_t cookie = join_cookie(*cookie_key_, source, wanted, now_ms);
    *challenge = reply(datagram, source, MsgType::MSG_CHALLENGE, cookie);
    return true;
}

// The echo of a challenge: with a good cookie the source joins as a first datagram would,
// but nothing is forwarded (the client sends the held-back datagram again as data). A bad
// cookie is dropped and costs a lookup, so guessing is as slow as scanning ids.
Outgoing Relay::on_join(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms) {
    assert(cookie_key_ != nullptr);
    if (length != HEADER_SIZE + JOIN_COOKIE_BYTES || table_.room_by_host(source) != nullptr) {
        ++counters_.joins_refused;
        return NOTHING;
    }
    RoomId wanted = header_room(datagram);
    Room* room = nullptr;
    ClientSlot* slot = table_.client_by_addr(source, &room);
    if (slot != nullptr && room->id == wanted) return NOTHING;  // a repeated echo
    uint64_t network = source.network_key(IPV6_LIMIT_PREFIX);
    if (!limits_.lookup_allowed(network, now_ms)) return NOTHING;
    uint32_t cookie = load_le32(datagram + HEADER_SIZE);
    if (!join_cookie_good(*cookie_key_, source, wanted, now_ms, cookie)) {
        limits_.lookup_spend(network, now_ms);
        ++counters_.joins_refused;
        return NOTHING;
    }
    Entry entry = enter_room(datagram, wanted, slot, source, now_ms, true);
    if (entry.slot == nullptr) return entry.refusal;
    entry.slot->seen = now_ms;  // as a forward would have, so the sweep keeps it
    ++counters_.joins_validated;
    return NOTHING;
}

// Tells a peer where the relay sees it from, so that two peers behind address translation can
// offer each other an address that reaches them. Only the asker's own address is ever named,
// and only to the asker; the answer is no longer than the request, so a forged source gains
// nothing in size; and each answer is paid from the source's lookup budget, so a flood of
// requests is answered at the rate of a scan of room ids.
Outgoing Relay::on_reflect(uint8_t* datagram, size_t length, const Peer& source, uint32_t now_ms) {
    if (length < REFLECT_SIZE) {
        ++counters_.reflect_short;
        return NOTHING;
    }
    uint64_t network = source.network_key(IPV6_LIMIT_PREFIX);
    if (!limits_.lookup_allowed(network, now_ms) || !limits_.lookup_answer_allowed(now_ms)) {
        return NOTHING;
    }
    limits_.lookup_spend(network, now_ms);
    header_write(datagram, MsgType::MSG_REFLECTED, uint32_t(source.port()));
    source.write_address16(datagram + REFLECT_ADDRESS_OFFSET);
    ++counters_.reflections_sent;
    return {source, uint32_t(REFLECT_SIZE)};
}

void Relay::on_leave(const Peer& source, uint32_t now_ms) {
    Room* room = nullptr;
    if (ClientSlot* slot = table_.client_by_addr(source, &room)) {
        uint64_t network = source.network_key(IPV6_LIMIT_PREFIX);
        if (!limits_.event_allowed(network, now_ms)) return;  // the client stays
        limits_.event_spend(network, now_ms);
        log("room %s: tag %u left", room_code(room->id), slot->tag.value);
        table_.client_clear(*slot);
        ++counters_.clients_left;
    }
    assert(table_.client_by_addr(source, &room) == nullptr);
}

void Relay::sweep(uint32_t now_ms) {
    now_ms_ = now_ms;
    // What the log ceiling held back since the last sweep, told once; the line itself is
    // not held back.
    if (uint64_t suppressed = limits_.take_suppressed()) {
        char line[64];
        snprintf(line, sizeof line, "log: %llu line(s) suppressed",
                 static_cast<unsigned long long>(suppressed));
        log_.write(log_.context, line);
    }
    for (Room& room : table_.rooms()) {
        if (room.id.value == 0) continue;
        if (uint32_t(now_ms - room.host_seen) > TIMEOUT_MS) {
            room_close(room, CloseReason::host_silent);
            continue;
        }
        for (ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0 && uint32_t(now_ms - slot.seen) > TIMEOUT_MS) {
                log("room %s: tag %u timed out", room_code(room.id), slot.tag.value);
                table_.client_clear(slot);
                ++counters_.clients_timed_out;
            }
        }
        // What stays has been heard from within TIMEOUT_MS.
        assert(uint32_t(now_ms - room.host_seen) <= TIMEOUT_MS);
    }
}

}  // namespace kiv
