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

}  // namespace kiv::test
