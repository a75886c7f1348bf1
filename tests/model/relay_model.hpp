// A reference model of the relay: what it answers, forwards and logs for each datagram, and
// whom it forgets in a sweep, written as plainly as possible. Rooms live in a map keyed by
// their host's address and each room's clients in a map keyed by theirs; there is no fixed
// table, no slot order and no index. The differential test holds the core to this model.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "relay/join_cookie.hpp"
#include "wire/peer.hpp"

namespace kiv::model {

// An IPv6 address, IPv4 ones written as ::ffff:a.b.c.d; as a source network, an IPv6
// address keeps only its /64.
using Address = std::array<uint8_t, 16>;
// The part of an address that tells peers apart: address and port.
struct PeerKey {
    Address ip;  // the source network that limits count against
    Address address;
    uint16_t port;
    auto operator<=>(const PeerKey&) const = default;
};
PeerKey key_of(const Peer& addr);

struct Client {
    Peer addr;  // as first received
    uint32_t tag;
    uint32_t seen;
};

struct Room {
    uint32_t id;
    Peer host;  // as first received
    uint32_t host_seen;
    uint32_t next_tag;
    std::map<PeerKey, Client> clients;
};

struct Sent {
    Peer to;
    std::vector<uint8_t> bytes;
};

class RelayModel {
  public:
    // `draw` gives the values room ids are drawn from, like rand().
    explicit RelayModel(std::function<int()> draw) : draw_(std::move(draw)) {}

    // `kept` holds the bytes the relay keeps of a datagram `length` bytes long.
    std::optional<Sent> receive(const std::vector<uint8_t>& kept, size_t length, const Peer& from,
                                uint32_t now_ms);
    void sweep(uint32_t now_ms);
    // Joins echo a challenge first; the cookie is the core's own function, taken as given.
    void validate_joins(const JoinCookieKey* key) { cookie_key_ = key; }
    // Whether a peer that asks is told the address it is seen from.
    void set_reflect(bool on) { reflect_ = on; }

    // Moves a room on as if tens of thousands of clients had come and gone, so that tests
    // reach the wrap of the tag counter in a few steps.
    void set_next_tag(const PeerKey& host, uint32_t next_tag) {
        rooms_.at(host).next_tag = next_tag;
    }

    const std::map<PeerKey, Room>& rooms() const { return rooms_; }
    // Datagrams dropped because their address was out of lookups.
    uint64_t throttled() const { return throttled_; }
    // Every line logged so far, without time stamps.
    const std::vector<std::string>& log() const { return log_; }

  private:
    std::optional<Sent> open(uint32_t value, const Peer& from, uint32_t now_ms);
    // `proven`: after a good echo, which joins without a challenge.
    std::optional<Sent> data(std::vector<uint8_t> bytes, const Peer& from, uint32_t now_ms,
                             bool proven = false);
    std::optional<Sent> join(const std::vector<uint8_t>& kept, size_t length, const Peer& from,
                             uint32_t now_ms);
    void close(const Peer& from);
    void leave(const Peer& from);
    std::optional<Sent> address_of(const Peer& from, uint32_t now_ms);

    // The lookups by id an IPv4 address may still make from outside a room: spent units
    // (1000 a lookup) as of the last time its budget was looked at, of which `allowed`
    // lookups may be spent.
    struct Budget {
        uint64_t spent;
        uint32_t at_ms;
    };
    bool out_of_lookups(const Address& ip, uint32_t now_ms, uint64_t allowed);
    void spend_lookup(const Address& ip, uint32_t now_ms);
    size_t rooms_hosted_from(const Address& ip) const;

    Room* room_with_id(uint32_t id);
    // The room in which `peer` is a client, or nullptr.
    Room* room_of_client(const PeerKey& peer);
    uint32_t fresh_id();
    void say(std::string line) { log_.push_back(std::move(line)); }

    std::function<int()> draw_;
    std::map<PeerKey, Room> rooms_;
    std::map<Address, Budget> budgets_;
    std::vector<std::string> log_;
    uint64_t throttled_ = 0;
    const JoinCookieKey* cookie_key_ = nullptr;
    bool reflect_ = false;
};

// Texts as the relay prints them.
std::string code_text(uint32_t id);
std::string address_text(const Peer& addr);

}  // namespace kiv::model
