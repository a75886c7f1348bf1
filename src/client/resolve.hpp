// Relay and endpoint addresses as people write them, turned into the peer a socket connects
// to: "host", "host:port", "192.0.2.7:27017", "[2001:db8::7]:27017" and a bare IPv6 literal
// such as "::1" (which, having colons of its own, takes no port).
#pragma once

#include <cstdint>

#include "wire/peer.hpp"

namespace kiv::client {

enum class ResolveError : uint8_t {
    none,
    no_host,    // nothing where the host goes, an unclosed bracket, a name too long for DNS
    bad_port,   // a port that is not a number in the range allowed
    not_found,  // the name has no address, or none that this machine can reach
};

// What went wrong, for a message: "no host name", "invalid port", "cannot resolve host".
const char* resolve_error_text(ResolveError error);

// Splits `text` into its host (without brackets, written to `host`) and its port; the port
// is `default_port` when left out (and *port_given, when asked for, says which), and must lie
// in minimum_port..65535 when given.
ResolveError split_host_port(const char* text, uint16_t default_port, uint16_t minimum_port,
                             char* host, size_t host_size, uint16_t* port,
                             bool* port_given = nullptr);

// A numeric address is read directly, without the resolver, so that it neither blocks nor
// allocates; a name goes through getaddrinfo, and its answers are tried in the order given
// until one that a UDP socket of its family can be connected to (a machine without an IPv6
// route refuses an IPv6 answer at once, and the IPv4 one after it is taken).
ResolveError resolve_relay(const char* text, uint16_t default_port, Peer* relay);
// An ADDR:PORT whose port must be given: 1..65535, or 0 too for an address to bind.
ResolveError resolve_endpoint(const char* text, bool port_zero_allowed, Peer* endpoint);

}  // namespace kiv::client
