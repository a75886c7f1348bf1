// Peer addresses for the core's unit tests, written the way people read them.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstring>

#include "peer.hpp"

namespace kiv::test {

inline Peer make_addr(const char* ip, uint16_t port) {
    return Peer::from_text(ip, port);
}

// The same peer as the kernel might write it with other bytes in the address's padding,
// which must still count as the same peer.
inline Peer with_other_padding(const Peer& peer) {
    sockaddr_in addr;
    memcpy(&addr, peer.name(), sizeof addr);
    addr.sin_zero[0] ^= 0x5A;
    return Peer::from_sockaddr(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

// The IPv4 peer as a dual-stack socket writes it: ::ffff:a.b.c.d.
inline Peer mapped(const Peer& ipv4) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(ipv4.port());
    addr.sin6_addr.s6_addr[10] = addr.sin6_addr.s6_addr[11] = 0xFF;
    memcpy(&addr.sin6_addr.s6_addr[12],
           &reinterpret_cast<const sockaddr_in*>(ipv4.name())->sin_addr, 4);
    return Peer::from_sockaddr(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

}  // namespace kiv::test
