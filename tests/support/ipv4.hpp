// Peer addresses for the core's unit tests, written the way people read them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

#include "wire/peer.hpp"

namespace kiv::test {

// 127.0.0.1 (or another loopback address, in host byte order) at `port`, for the sockets of
// the end-to-end tests.
inline sockaddr_in loopback(uint16_t port = 0, uint32_t address = INADDR_LOOPBACK) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(address);
    addr.sin_port = htons(port);
    return addr;
}

inline kiv::Peer make_addr(const char* ip, uint16_t port) {
    return kiv::Peer::from_text(ip, port);
}

// The same peer as the kernel might write it with other bytes in the address's padding (for
// IPv6, another flow label), which must still count as the same peer.
inline kiv::Peer with_other_padding(const kiv::Peer& peer) {
    if (peer.family() == AF_INET6) {
        sockaddr_in6 addr;
        memcpy(&addr, peer.name(), sizeof addr);
        addr.sin6_flowinfo ^= htonl(0x5A);
        return kiv::Peer::from_sockaddr(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    sockaddr_in addr;
    memcpy(&addr, peer.name(), sizeof addr);
    addr.sin_zero[0] ^= 0x5A;
    return kiv::Peer::from_sockaddr(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

// The IPv4 peer as a dual-stack socket writes it: ::ffff:a.b.c.d.
inline kiv::Peer mapped(const kiv::Peer& ipv4) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(ipv4.port());
    addr.sin6_addr.s6_addr[10] = addr.sin6_addr.s6_addr[11] = 0xFF;
    memcpy(&addr.sin6_addr.s6_addr[12],
           &reinterpret_cast<const sockaddr_in*>(ipv4.name())->sin_addr, 4);
    return kiv::Peer::from_sockaddr(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

}  // namespace kiv::test
