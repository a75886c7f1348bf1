// Relay and endpoint addresses as people write them, turned into the peer a socket connects
// to: "host", "host:port", "192.0.2.7:27017", "[2001:db8::7]:27017" and a bare IPv6 literal
// such as "::1" (which, having colons of its own, takes no port).
#pragma once

#include <array>
#include <cstddef>
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

// The addresses a relay's name gives, in the resolver's order. A name may give several (such
// as localhost: ::1 and 127.0.0.1) while the relay listens on only one of them, so a caller
// that can tries them until one answers. More than a relay's name has in practice.
struct RelayAddresses {
    static constexpr size_t CAPACITY = 4;
    std::array<Peer, CAPACITY> peers{};
    size_t count = 0;
};

// A numeric address is read directly, without the resolver, so that it neither blocks nor
// allocates, and is the one address; a name goes through getaddrinfo, and its answers are
// kept in the order given, each once, but for those a UDP socket of their family cannot be
// connected to (a machine without an IPv6 route refuses an IPv6 answer at once).
ResolveError resolve_relay_addresses(const char* text, uint16_t default_port,
                                     RelayAddresses* addresses);
// The first of resolve_relay_addresses, for a caller that talks to one address only.
ResolveError resolve_relay(const char* text, uint16_t default_port, Peer* relay);
// An ADDR:PORT whose port must be given: 1..65535, or 0 too for an address to bind.
ResolveError resolve_endpoint(const char* text, bool port_zero_allowed, Peer* endpoint);

}  // namespace kiv::client
