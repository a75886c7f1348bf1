// A peer on the network: an address and a port. Every layer (the relay's core and table, its
// indexes and budgets, the client library, kiv and its tunnel) names peers by this type, and
// only this file knows which address families there are. Today that is IPv4 alone.
//
// The storage is the socket address the kernel reads and writes, so a receive call fills a
// Peer in place (receive_name) and a send names one without a copy (name). Peers are told
// apart by address and port alone: the family's padding is not part of who they are.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kiv {

class Peer {
  public:
    Peer() = default;
    // An IPv4 address and port in host byte order (0x7F000001 is 127.0.0.1).
    static Peer ipv4(uint32_t address, uint16_t port) {
        Peer peer;
        peer.v4_.sin_family = AF_INET;
        peer.v4_.sin_addr.s_addr = htonl(address);
        peer.v4_.sin_port = htons(port);
        return peer;
    }
    // What a system call wrote: an address of a family this build does not know is no peer
    // (is_set() is false).
    static Peer from_sockaddr(const sockaddr* address, socklen_t length) {
        Peer peer;
        if (address != nullptr && length >= socklen_t(sizeof(sockaddr_in)) &&
            address->sa_family == AF_INET) {
            peer.v4_ = *reinterpret_cast<const sockaddr_in*>(address);
        }
        return peer;
    }

    // A numeric address as people write it ("127.0.0.1") and a port in host byte order; text
    // that is no address of a known family gives no peer (is_set() is false).
    static Peer from_text(const char* address, uint16_t port) {
        Peer peer;
        if (inet_pton(AF_INET, address, &peer.v4_.sin_addr) != 1) return Peer{};
        peer.v4_.sin_family = AF_INET;
        peer.v4_.sin_port = htons(port);
        return peer;
    }
    // Any local address of the family, for a socket that listens on all of them.
    static Peer any(uint16_t port) { return ipv4(INADDR_ANY, port); }
    static Peer loopback(uint16_t port) { return ipv4(INADDR_LOOPBACK, port); }

    bool is_set() const { return v4_.sin_family == AF_INET; }
    // The family a socket must have to reach this peer.
    int family() const { return AF_INET; }
    uint16_t port() const { return ntohs(v4_.sin_port); }
    void set_port(uint16_t port) { v4_.sin_port = htons(port); }

    // For sendto/connect/bind: the socket address and its length.
    const sockaddr* name() const { return reinterpret_cast<const sockaddr*>(&v4_); }
    socklen_t name_length() const { return socklen_t(sizeof v4_); }
    // For recvfrom/recvmmsg/getsockname to write into; is_set() then tells whether the
    // kernel wrote an address of a family this build knows.
    sockaddr* receive_name() { return reinterpret_cast<sockaddr*>(&v4_); }
    static constexpr socklen_t RECEIVE_CAPACITY = socklen_t(sizeof(sockaddr_in));

    // Address and port as one number, unique per peer, for hash indexes and send grouping.
    uint64_t key() const { return uint64_t(v4_.sin_addr.s_addr) << 16 | v4_.sin_port; }
    // The source network that per-source limits count against: for IPv4, the address.
    uint64_t network_key() const { return v4_.sin_addr.s_addr; }

    // "address:port" as the log and the kiv command show a peer, cut to fit `size` bytes
    // (TEXT_CAPACITY always suffices); returns `text`.
    static constexpr size_t TEXT_CAPACITY = 32;
    const char* write_text(char* text, size_t size) const {
        char address[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &v4_.sin_addr, address, sizeof address) == nullptr) address[0] = 0;
        snprintf(text, size, "%s:%d", address, int(port()));
        return text;
    }

    friend bool operator==(const Peer& a, const Peer& b) {
        return a.v4_.sin_addr.s_addr == b.v4_.sin_addr.s_addr && a.v4_.sin_port == b.v4_.sin_port;
    }

  private:
    sockaddr_in v4_{};
};

}  // namespace kiv
