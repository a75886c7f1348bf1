// Written from the protocol's description, not from the core: its own constants, its own
// formatting and no shared helpers, so that a slip in one is not copied into the other.
#include "relay_model.hpp"
#include "relay/build_limits.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace kiv::model {

namespace {

constexpr size_t HEADER_BYTES = 12;
constexpr size_t LONGEST_DATA = 1412;
constexpr size_t ROOM_LIMIT = 256;
constexpr size_t CLIENT_LIMIT = 8;
constexpr uint32_t HIGHEST_ID = 33554432;  // 2^25
constexpr uint32_t HIGHEST_TAG = 65535;
constexpr uint32_t SILENCE_ALLOWED_MS = 60000;
// The limits per address are options of the build, so the model takes the build's values.
constexpr uint64_t LOOKUPS_IN_A_BURST = KIV_ROOM_MISS_BURST;
constexpr uint64_t LOOKUPS_PER_SECOND = KIV_ROOM_MISS_PER_SECOND;
constexpr size_t ROOMS_PER_IP = KIV_ROOMS_PER_ADDRESS;
// Opens asking for an id may go this many lookups beyond the burst that data may spend, so
// that a host whose data reads as lookups after a restart can still take its room back.
constexpr uint64_t LOOKUPS_ONLY_OPENS_MAY_SPEND = 2;

enum : uint8_t {
    OPEN = 1,
    OPENED = 2,
    DATA = 3,
    CLOSE = 4,
    LEAVE = 5,
    ERROR = 6,
    PING = 7,
    PONG = 8,
    CHALLENGE = 9,
    JOIN = 10,
    ASK_ADDRESS = 11,
    ADDRESS = 12
};
// An address answer: a header with the port, then the 16-byte address.
constexpr size_t ADDRESS_ANSWER_BYTES = HEADER_BYTES + 16;
enum : uint32_t { NO_ROOM = 1, ROOM_FULL = 2, NO_FREE_ROOM = 3, BAD_VERSION = 4 };

uint32_t read_value(const std::vector<uint8_t>& bytes) {
    return uint32_t(bytes[8]) + (uint32_t(bytes[9]) << 8) + (uint32_t(bytes[10]) << 16) +
           (uint32_t(bytes[11]) << 24);
}

void set_header(std::vector<uint8_t>& bytes, uint8_t type, uint32_t value) {
    const uint8_t header[HEADER_BYTES] = {'K',
                                          'I',
                                          'V',
                                          'R',
                                          type,
                                          1,
                                          0,
                                          0,
                                          uint8_t(value),
                                          uint8_t(value >> 8),
                                          uint8_t(value >> 16),
                                          uint8_t(value >> 24)};
    for (size_t i = 0; i < HEADER_BYTES; ++i)
        bytes[i] = header[i];
}

Sent answer(const Peer& to, uint8_t type, uint32_t value) {
    Sent sent{to, std::vector<uint8_t>(HEADER_BYTES)};
    set_header(sent.bytes, type, value);
    return sent;
}

bool silent_too_long(uint32_t now_ms, uint32_t last_ms) {
    return uint32_t(now_ms - last_ms) > SILENCE_ALLOWED_MS;
}

std::string closed_line(const Room& room, const char* reason) {
    return "room " + code_text(room.id) + " closed (" + reason + "), " +
           std::to_string(room.clients.size()) + " client(s)";
}

}  // namespace

PeerKey key_of(const Peer& peer) {
    PeerKey key{};
    if (peer.name()->sa_family == AF_INET) {
        const auto& addr = *reinterpret_cast<const sockaddr_in*>(peer.name());
        key.address[10] = key.address[11] = 0xFF;
        memcpy(&key.address[12], &addr.sin_addr, 4);
        key.port = addr.sin_port;
    } else {
        const auto& addr = *reinterpret_cast<const sockaddr_in6*>(peer.name());
        memcpy(key.address.data(), &addr.sin6_addr, 16);
        key.port = addr.sin6_port;
    }
    key.ip = key.address;
    if (!IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(key.address.data()))) {
        std::fill(key.ip.begin() + 8, key.ip.end(), 0);
    }
    return key;
}

std::string code_text(uint32_t id) {
    static const std::string alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string code;
    uint32_t rest = id - 1;
    for (int digit = 0; digit < 5; ++digit) {
        code.insert(code.begin(), alphabet[rest % 32]);
        rest /= 32;
    }
    return code;
}

std::string address_text(const Peer& peer) {
    PeerKey key = key_of(peer);
    std::string port = std::to_string(ntohs(key.port));
    if (IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(key.address.data()))) {
        const uint8_t* octets = &key.address[12];
        return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
               std::to_string(octets[2]) + "." + std::to_string(octets[3]) + ":" + port;
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, key.address.data(), text, sizeof text);
    return "[" + std::string(text) + "]:" + port;
}

std::optional<Sent> RelayModel::receive(const std::vector<uint8_t>& kept, size_t length,
                                        const Peer& from, uint32_t now_ms) {
    if (length < HEADER_BYTES) return std::nullopt;
    if (kept[0] != 'K' || kept[1] != 'I' || kept[2] != 'V' || kept[3] != 'R') return std::nullopt;
    if (kept[5] != 1) return answer(from, ERROR, BAD_VERSION);
    switch (kept[4]) {
        case OPEN:
            return open(read_value(kept), from, now_ms);
        case DATA:
            // A data datagram longer than the relay takes would reach the peer cut; it is
            // dropped whole instead, before anything else is looked at.
            if (length > LONGEST_DATA) return std::nullopt;
            return data(std::vector<uint8_t>(kept.begin(), kept.begin() + long(length)), from,
                        now_ms);
        case CLOSE:
            close(from);
            return std::nullopt;
        case LEAVE:
            leave(from);
            return std::nullopt;
        case PING:
            return answer(from, PONG, read_value(kept));
        case JOIN:
            if (cookie_key_ == nullptr) return std::nullopt;
            return join(kept, length, from, now_ms);
        case ASK_ADDRESS:
            if (!reflect_ || length < ADDRESS_ANSWER_BYTES) return std::nullopt;
            return address_of(from, now_ms);
        default:
            return std::nullopt;
    }
}

std::optional<Sent> RelayModel::address_of(const Peer& from, uint32_t now_ms) {
    PeerKey key = key_of(from);
    if (out_of_lookups(key.ip, now_ms, LOOKUPS_IN_A_BURST)) return std::nullopt;
    spend_lookup(key.ip, now_ms);
    Sent sent = answer(from, ADDRESS, ntohs(key.port));
    sent.bytes.insert(sent.bytes.end(), key.address.begin(), key.address.end());
    return sent;
}

std::optional<Sent> RelayModel::open(uint32_t value, const Peer& from, uint32_t now_ms) {
    PeerKey peer = key_of(from);
    if (auto hosted = rooms_.find(peer); hosted != rooms_.end()) {
        hosted->second.host_seen = now_ms;
        return answer(from, OPENED, hosted->second.id);
    }
    Address ip = key_of(from).ip;
    bool asks_for_an_id = value >= 1 && value <= HIGHEST_ID;
    if (asks_for_an_id &&
        out_of_lookups(ip, now_ms, LOOKUPS_IN_A_BURST + LOOKUPS_ONLY_OPENS_MAY_SPEND)) {
        return std::nullopt;
    }
    if (Room* room = room_of_client(peer)) room->clients.erase(peer);
    if (rooms_.size() == ROOM_LIMIT || rooms_hosted_from(ip) == ROOMS_PER_IP) {
        return answer(from, ERROR, NO_FREE_ROOM);
    }
    if (asks_for_an_id) spend_lookup(ip, now_ms);

    bool asked_for_free_id = value >= 1 && value <= HIGHEST_ID && room_with_id(value) == nullptr;
    uint32_t id = asked_for_free_id ? value : fresh_id();
    rooms_[peer] = Room{id, from, now_ms, 1, {}};
    say("room " + code_text(id) + " opened by " + address_text(from) +
        (id == value ? " (re-opened)" : ""));
    return answer(from, OPENED, id);
}

uint32_t RelayModel::fresh_id() {
    for (;;) {
        uint32_t first = uint32_t(draw_());
        uint32_t second = uint32_t(draw_());
        uint32_t id = (((first << 15) ^ second) % HIGHEST_ID) + 1;
        if (room_with_id(id) == nullptr) return id;
    }
}

std::optional<Sent> RelayModel::data(std::vector<uint8_t> bytes, const Peer& from, uint32_t now_ms,
                                     bool proven) {
    PeerKey peer = key_of(from);
    uint32_t value = read_value(bytes);
    if (auto hosted = rooms_.find(peer); hosted != rooms_.end()) {
        Room& room = hosted->second;
        room.host_seen = now_ms;
        for (const auto& [key, client] : room.clients) {
            if (client.tag == value) {
                set_header(bytes, DATA, 0);
                return Sent{client.addr, std::move(bytes)};
            }
        }
        return std::nullopt;
    }

    Room* room = room_of_client(peer);
    bool outsider = room == nullptr || room->id != value;
    if (outsider && out_of_lookups(key_of(from).ip, now_ms, LOOKUPS_IN_A_BURST)) {
        return std::nullopt;
    }
    // Validating, a datagram that would take a free place is answered with a challenge
    // instead; nothing changes but the lookup spent.
    Room* target = value == 0 ? nullptr : room_with_id(value);
    if (outsider && cookie_key_ != nullptr && !proven && target != nullptr &&
        target->clients.size() < CLIENT_LIMIT) {
        spend_lookup(key_of(from).ip, now_ms);
        return answer(from, CHALLENGE, join_cookie(*cookie_key_, from, RoomId(value), now_ms));
    }
    if (room != nullptr && room->id != value) {
        room->clients.erase(peer);
        room = nullptr;
    }
    if (room == nullptr) {
        room = value == 0 ? nullptr : room_with_id(value);
        if (room == nullptr) {
            spend_lookup(key_of(from).ip, now_ms);
            return answer(from, ERROR, NO_ROOM);
        }
        if (room->clients.size() == CLIENT_LIMIT) return answer(from, ERROR, ROOM_FULL);
        auto held = [&](uint32_t tag) {
            for (const auto& [key, client] : room->clients) {
                if (client.tag == tag) return true;
            }
            return false;
        };
        uint32_t tag = room->next_tag;
        while (held(tag))
            tag = tag == HIGHEST_TAG ? 1 : tag + 1;
        room->next_tag = tag == HIGHEST_TAG ? 1 : tag + 1;
        room->clients[peer] = Client{from, tag, now_ms};
        say("room " + code_text(room->id) + ": " + address_text(from) + " joined as tag " +
            std::to_string(tag) + " (" + std::to_string(room->clients.size()) + " client(s))");
    }
    Client& client = room->clients.at(peer);
    client.seen = now_ms;
    set_header(bytes, DATA, client.tag);
    return Sent{room->host, std::move(bytes)};
}

// The echo of a challenge, exactly a 4-byte cookie, neither from a host nor from a member of
// that room: a bad cookie costs a lookup; a good one joins as data would, with no forward.
std::optional<Sent> RelayModel::join(const std::vector<uint8_t>& kept, size_t length,
                                     const Peer& from, uint32_t now_ms) {
    PeerKey peer = key_of(from);
    Room* room = room_of_client(peer);
    uint32_t value = read_value(kept);
    if (length != HEADER_BYTES + 4 || rooms_.count(peer) != 0) return std::nullopt;
    if ((room != nullptr && room->id == value) ||
        out_of_lookups(peer.ip, now_ms, LOOKUPS_IN_A_BURST))
        return std::nullopt;
    std::vector<uint8_t> cookie(kept.begin() + 4, kept.end());  // its value field: the cookie
    if (!join_cookie_good(*cookie_key_, from, RoomId(value), now_ms, read_value(cookie))) {
        spend_lookup(peer.ip, now_ms);
        return std::nullopt;
    }
    std::optional<Sent> sent =
        data(std::vector<uint8_t>(kept.begin(), kept.begin() + 12), from, now_ms, true);
    return sent && sent->bytes[4] == ERROR ? sent : std::nullopt;
}

void RelayModel::close(const Peer& from) {
    auto hosted = rooms_.find(key_of(from));
    if (hosted == rooms_.end()) return;
    say(closed_line(hosted->second, "host closed it"));
    rooms_.erase(hosted);
}

void RelayModel::leave(const Peer& from) {
    PeerKey peer = key_of(from);
    Room* room = room_of_client(peer);
    if (room == nullptr) return;
    say("room " + code_text(room->id) + ": tag " + std::to_string(room->clients.at(peer).tag) +
        " left");
    room->clients.erase(peer);
}

void RelayModel::sweep(uint32_t now_ms) {
    for (auto room = rooms_.begin(); room != rooms_.end();) {
        if (silent_too_long(now_ms, room->second.host_seen)) {
            say(closed_line(room->second, "host silent"));
            room = rooms_.erase(room);
            continue;
        }
        auto& clients = room->second.clients;
        for (auto client = clients.begin(); client != clients.end();) {
            if (silent_too_long(now_ms, client->second.seen)) {
                say("room " + code_text(room->second.id) + ": tag " +
                    std::to_string(client->second.tag) + " timed out");
                client = clients.erase(client);
            } else {
                ++client;
            }
        }
        ++room;
    }
}

bool RelayModel::out_of_lookups(const Address& ip, uint32_t now_ms, uint64_t allowed) {
    Budget& budget = budgets_[ip];  // an address never seen has spent nothing
    uint64_t regained = uint64_t(uint32_t(now_ms - budget.at_ms)) * LOOKUPS_PER_SECOND;
    budget.spent = budget.spent > regained ? budget.spent - regained : 0;
    budget.at_ms = now_ms;
    bool out = budget.spent + 1000 > allowed * 1000;
    throttled_ += out;
    return out;
}

void RelayModel::spend_lookup(const Address& ip, uint32_t now_ms) {
    Budget& budget = budgets_[ip];
    budget.spent += 1000;
    budget.at_ms = now_ms;
}

size_t RelayModel::rooms_hosted_from(const Address& ip) const {
    size_t count = 0;
    for (const auto& [host, room] : rooms_)
        count += host.ip == ip;
    return count;
}

Room* RelayModel::room_with_id(uint32_t id) {
    for (auto& [host, room] : rooms_) {
        if (room.id == id) return &room;
    }
    return nullptr;
}

Room* RelayModel::room_of_client(const PeerKey& peer) {
    for (auto& [host, room] : rooms_) {
        if (room.clients.count(peer) != 0) return &room;
    }
    return nullptr;
}

}  // namespace kiv::model
