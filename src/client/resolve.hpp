// Relay addresses as people write them, "HOST[:PORT]", turned into the peer a socket connects
// to. IPv4 for now, as the relay listens on IPv4 only.
#pragma once

#include <cstdint>

#include "peer.hpp"

namespace kiv::client {

enum class ResolveError : uint8_t {
    none,
    no_host,    // nothing before the colon, or a name longer than DNS allows
    bad_port,   // a port that is not a number in 1..65535
    not_found,  // the name has no IPv4 address
};

// A dotted IPv4 address is read directly, without the resolver, so that it neither blocks
// nor allocates; a name goes through getaddrinfo. The port is default_port when left out.
ResolveError resolve_relay(const char* text, uint16_t default_port, Peer* relay);

}  // namespace kiv::client
