// A peer on the network: an IPv4 or IPv6 address and a port. Every layer (the relay's core
// and table, its indexes and budgets, the client library, kiv and its tunnel) names peers by
// this type, and only this file knows which address families there are.
//
// The storage is the socket address the kernel reads and writes, so a receive call fills a
// Peer in place (receive_name) and a send names one without a copy (name). A socket of one
// family receives peers of that family only, so what is stored as received is also what that
// socket sends to. An IPv4 peer that reaches a dual-stack socket arrives as the IPv4-mapped
// IPv6 address ::ffff:a.b.c.d; it is the same peer as the plain IPv4 address in every
// comparison, key, limit and text. Peers are told apart by address, port and (for link-local
// IPv6) scope alone: flow labels and padding are not part of who they are.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kiv {

// The secret of a keyed peer hash: multiply-add-shift over the address's 32-bit words and the
// port, whose top bits are a universal family when the multipliers are random. Peers choose
// their addresses (an IPv6 peer has 2^64 in its own /64), so without the secret anyone could
// compute offline which peers share a hash cell.
struct PeerHashKey {
    std::array<uint64_t, 6> multipliers{};
    // The words of the IPv4-mapped prefix, folded once: an IPv4 peer costs two multiplies.
    uint64_t mapped_words = 0;

    static PeerHashKey from_seed(uint64_t seed) {
        PeerHashKey key;
        for (uint64_t& multiplier : key.multipliers) {
            // splitmix64: spreads one secret over independent-looking words.
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            multiplier = z ^ (z >> 31);
        }
        key.mapped_words = key.multipliers[2] * 0xFFFFu + key.multipliers[5];
        return key;
    }
};

class Peer {
  public:
    Peer() = default;
    // An IPv4 address and port in host byte order (0x7F000001 is 127.0.0.1).
    static Peer ipv4(uint32_t address, uint16_t port) {
        Peer peer;
        peer.v4().sin_family = AF_INET;
        peer.v4().sin_addr.s_addr = htonl(address);
        peer.v4().sin_port = htons(port);
        return peer;
    }
    // An IPv6 address (16 bytes, network order) and a port in host byte order.
    static Peer ipv6(const uint8_t (&address)[16], uint16_t port) {
        Peer peer;
        peer.address_.sin6_family = AF_INET6;
        memcpy(&peer.address_.sin6_addr, address, 16);
        peer.address_.sin6_port = htons(port);
        return peer;
    }
    // What a system call wrote, kept as written (a mapped address stays mapped, so that the
    // dual-stack socket it came from can answer it): an address of a family this build does
    // not know is no peer (is_set() is false).
    static Peer from_sockaddr(const sockaddr* address, socklen_t length) {
        Peer peer;
        if (address == nullptr) return peer;
        if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
            memcpy(&peer.address_, address, sizeof(sockaddr_in));
        } else if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
            memcpy(&peer.address_, address, sizeof(sockaddr_in6));
            peer.address_.sin6_flowinfo = 0;
        }
        return peer;
    }

    // A numeric address as people write it ("127.0.0.1", "2001:db8::7", "::ffff:192.0.2.7",
    // without brackets) and a port in host byte order. A mapped address gives the IPv4 peer.
    // Text that is no address of a known family gives no peer (is_set() is false).
    static Peer from_text(const char* address, uint16_t port) {
        Peer peer;
        if (inet_pton(AF_INET, address, &peer.v4().sin_addr) == 1) {
            peer.v4().sin_family = AF_INET;
            peer.v4().sin_port = htons(port);
            return peer;
        }
        peer = Peer{};
        if (inet_pton(AF_INET6, address, &peer.address_.sin6_addr) != 1) return Peer{};
        peer.address_.sin6_family = AF_INET6;
        peer.address_.sin6_port = htons(port);
        return peer.unmapped();
    }
    // The address as 16 bytes, an IPv4 one as ::ffff:a.b.c.d: how the wire carries a peer.
    void write_address16(uint8_t* bytes) const {
        if (stored_family() == AF_INET6) {
            memcpy(bytes, &address_.sin6_addr, 16);
            return;
        }
        static constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        memcpy(bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX);
        memcpy(bytes + 12, &v4().sin_addr, 4);
    }
    // The peer whose address write_address16 wrote, with `port`; a mapped one as IPv4.
    static Peer from_address16(const uint8_t* bytes, uint16_t port) {
        uint8_t address[16];
        memcpy(address, bytes, sizeof address);
        return ipv6(address, port).unmapped();
    }

    // Any local IPv4 address, for a socket that listens on all of them.
    static Peer any(uint16_t port) { return ipv4(INADDR_ANY, port); }
    static Peer loopback(uint16_t port) { return ipv4(INADDR_LOOPBACK, port); }
    // The IPv6 wildcard, "::": a socket bound to it with IPV6_V6ONLY off serves both families.
    static Peer any_ipv6(uint16_t port) {
        Peer peer;
        peer.address_.sin6_family = AF_INET6;
        peer.address_.sin6_addr = in6addr_any;
        peer.address_.sin6_port = htons(port);
        return peer;
    }

    bool is_set() const { return stored_family() == AF_INET || stored_family() == AF_INET6; }
    // An IPv4 peer, plain or mapped: it is shown, compared and limited as IPv4.
    bool is_ipv4() const { return stored_family() == AF_INET || is_mapped(); }
    // The family of the socket address stored: the family of a socket that sends to name().
    int family() const { return stored_family() == AF_INET6 ? AF_INET6 : AF_INET; }
    bool is_any_address() const {
        return stored_family() == AF_INET6 ? IN6_IS_ADDR_UNSPECIFIED(&address_.sin6_addr)
                                           : v4().sin_addr.s_addr == htonl(INADDR_ANY);
    }
    uint16_t port() const { return ntohs(raw_port()); }
    void set_port(uint16_t port) {
        if (stored_family() == AF_INET6) {
            address_.sin6_port = htons(port);
        } else {
            v4().sin_port = htons(port);
        }
    }
    // A mapped address as the plain IPv4 peer, for a socket of the IPv4 family; any other
    // peer as it is.
    Peer unmapped() const {
        if (!is_mapped()) return *this;
        return ipv4(ntohl(ipv4_word()), port());
    }

    // For sendto/connect/bind: the socket address and its length.
    const sockaddr* name() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t name_length() const {
        return stored_family() == AF_INET6 ? socklen_t(sizeof(sockaddr_in6))
                                           : socklen_t(sizeof(sockaddr_in));
    }
    // For the receive calls and getsockname to write into; is_set() then tells whether the
    // kernel wrote an address of a family this build knows.
    sockaddr* receive_name() { return reinterpret_cast<sockaddr*>(&address_); }
    static constexpr socklen_t RECEIVE_CAPACITY = socklen_t(sizeof(sockaddr_in6));

    // The keyed hash of address and port, equal for equal peers (mapped or not); its top
    // bits are the well-mixed ones. Hash indexes place peers by it and compare whole peers.
    uint64_t hash(const PeerHashKey& key) const {
        const auto& m = key.multipliers;
        if (stored_family() == AF_INET) {
            return key.mapped_words + m[3] * v4().sin_addr.s_addr + m[4] * v4().sin_port;
        }
        uint32_t words[4];
        memcpy(words, &address_.sin6_addr, sizeof words);
        return m[0] * words[0] + m[1] * words[1] + m[2] * ntohl(words[2]) + m[3] * words[3] +
               m[4] * address_.sin6_port + m[5];
    }
    // The source network that per-source limits count against: an IPv4 address whole, an
    // IPv6 address by its first `ipv6_prefix_bits` (1 to 64) bits. The two never meet: IPv4
    // keys lie in ff00::/8, which is multicast and never the source of a datagram.
    uint64_t network_key(int ipv6_prefix_bits) const {
        if (is_ipv4()) return IPV4_NETWORK_TAG | ipv4_word();
        uint64_t high = 0;
        const uint8_t* bytes = address_.sin6_addr.s6_addr;
        for (int i = 0; i < 8; ++i)
            high = high << 8 | bytes[i];
        return ipv6_prefix_bits >= 64 ? high : high & ~(~uint64_t(0) >> ipv6_prefix_bits);
    }

    // "a.b.c.d:port" for an IPv4 peer (mapped ones too) and "[v6]:port" for an IPv6 one, the
    // address as inet_ntop writes it, as the log and the kiv command show peers; cut to fit
    // `size` bytes (TEXT_CAPACITY always suffices); returns `text`.
    static constexpr size_t TEXT_CAPACITY = INET6_ADDRSTRLEN + 8;
    const char* write_text(char* text, size_t size) const {
        char address[INET6_ADDRSTRLEN];
        if (is_ipv4()) {
            uint32_t word = ipv4_word();
            if (inet_ntop(AF_INET, &word, address, sizeof address) == nullptr) address[0] = 0;
            snprintf(text, size, "%s:%d", address, int(port()));
        } else {
            if (inet_ntop(AF_INET6, &address_.sin6_addr, address, sizeof address) == nullptr)
                address[0] = 0;
            snprintf(text, size, "[%s]:%d", address, int(port()));
        }
        return text;
    }

    friend bool operator==(const Peer& a, const Peer& b) {
        sa_family_t family = a.stored_family();
        if (family == b.stored_family()) {
            if (family == AF_INET) {
                return a.v4().sin_addr.s_addr == b.v4().sin_addr.s_addr &&
                       a.v4().sin_port == b.v4().sin_port;
            }
            if (family == AF_INET6) {
                return memcmp(&a.address_.sin6_addr, &b.address_.sin6_addr, 16) == 0 &&
                       a.address_.sin6_port == b.address_.sin6_port &&
                       a.address_.sin6_scope_id == b.address_.sin6_scope_id;
            }
            return true;  // two unset peers
        }
        return a.is_ipv4() && b.is_ipv4() && a.ipv4_word() == b.ipv4_word() &&
               a.raw_port() == b.raw_port();
    }

  private:
    static constexpr uint64_t IPV4_NETWORK_TAG = uint64_t(0xFF) << 56;

    bool is_mapped() const {
        return stored_family() == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&address_.sin6_addr);
    }
    // The IPv4 address in network order, of a plain or a mapped peer.
    uint32_t ipv4_word() const {
        if (stored_family() == AF_INET) return v4().sin_addr.s_addr;
        uint32_t word;
        memcpy(&word, &address_.sin6_addr.s6_addr[12], sizeof word);
        return word;
    }
    uint16_t raw_port() const {
        return stored_family() == AF_INET6 ? address_.sin6_port : v4().sin_port;
    }

    // An IPv4 address is kept in the first bytes, as the kernel writes it there, and the rest
    // stays zero: a peer has one byte representation, so records holding one compare whole.
    sockaddr_in& v4() { return *reinterpret_cast<sockaddr_in*>(&address_); }
    const sockaddr_in& v4() const { return *reinterpret_cast<const sockaddr_in*>(&address_); }
    sa_family_t stored_family() const { return address_.sin6_family; }

    sockaddr_in6 address_{};
};

}  // namespace kiv
