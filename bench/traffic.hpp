// What the load generator and the soak share when they play many peers against a relay on
// loopback: a socket per peer on an address of its own, a send that never blocks, and the
// check every forward the relay delivers must pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"

namespace kiv::traffic {

// A non-blocking UDP socket bound to the next loopback address (127.0.0.1, 127.0.0.2, ...),
// as peers on a network would each have one: the relay limits the rooms and lookups of one
// address. A receive buffer of `receive_buffer` bytes is asked for when it is not 0 (a
// smaller one works). Returns -1 when no socket could be had. With `ipv6` the socket is on
// ::1, which every IPv6 peer shares: one /64, so the relay holds 32 rooms for them all.
int open_peer_socket(int receive_buffer = 0, bool ipv6 = false);

// The relay on 127.0.0.1 (or ::1) at `port`.
Peer relay_address(uint16_t port, bool ipv6 = false);

// One datagram to `to`; false when the kernel refused it (on loopback only when a buffer is
// full), and then the datagram is lost.
bool send_datagram(int fd, const Peer& to, const uint8_t* datagram, size_t length);

// A forward as the relay writes it: a whole header of version 1 with zero reserved bytes,
// MSG_DATA, and a value that is the sender's tag at a host and 0 at a client.
bool is_forward(const uint8_t* datagram, size_t length, bool at_client);

}  // namespace kiv::traffic
