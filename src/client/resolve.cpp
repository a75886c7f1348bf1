#include "client/resolve.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "wire/number_text.hpp"

namespace kiv::client {
namespace {

// Whether a UDP socket can be pointed at `peer`: connect() on a datagram socket sends
// nothing, it only asks the kernel for a route.
bool reachable(const Peer& peer) {
    int fd = socket(peer.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool connected = connect(fd, peer.name(), peer.name_length()) == 0;
    close(fd);
    return connected;
}

// Adds `peer` unless it is there already: a name listed twice in the hosts file, or under
// two families that unmap to one address, is one place to try.
void add_once(RelayAddresses* addresses, const Peer& peer) {
    for (size_t i = 0; i < addresses->count; ++i) {
        if (addresses->peers[i] == peer) return;
    }
    if (addresses->count < RelayAddresses::CAPACITY) addresses->peers[addresses->count++] = peer;
}

ResolveError resolve(const char* text, uint16_t default_port, uint16_t minimum_port,
                     bool port_needed, RelayAddresses* addresses) {
    addresses->count = 0;
    // The longest name DNS allows is 253 characters.
    char host[254];
    uint16_t port = 0;
    bool port_given = false;
    ResolveError error =
        split_host_port(text, default_port, minimum_port, host, sizeof host, &port, &port_given);
    if (error != ResolveError::none) return error;
    if (port_needed && !port_given) return ResolveError::bad_port;
    Peer numeric = Peer::from_text(host, port);
    if (numeric.is_set()) {
        add_once(addresses, numeric);
        return ResolveError::none;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return ResolveError::not_found;
    }
    for (const addrinfo* answer = found; answer != nullptr; answer = answer->ai_next) {
        Peer peer = Peer::from_sockaddr(answer->ai_addr, answer->ai_addrlen).unmapped();
        if (!peer.is_set()) continue;
        peer.set_port(port);
        // A port of 0 is no destination: any answer of a known family serves a bind.
        if (port != 0 && !reachable(peer)) continue;
        add_once(addresses, peer);
    }
    freeaddrinfo(found);
    return addresses->count > 0 ? ResolveError::none : ResolveError::not_found;
}

ResolveError resolve_first(const char* text, uint16_t default_port, uint16_t minimum_port,
                           bool port_needed, Peer* result) {
    RelayAddresses addresses;
    ResolveError error = resolve(text, default_port, minimum_port, port_needed, &addresses);
    if (error == ResolveError::none) *result = addresses.peers[0];
    return error;
}

}  // namespace

const char* resolve_error_text(ResolveError error) {
    switch (error) {
        case ResolveError::none:
            return "no error";
        case ResolveError::no_host:
            return "no host name";
        case ResolveError::bad_port:
            return "invalid port";
        case ResolveError::not_found:
            return "cannot resolve host";
    }
    return "unknown error";
}

ResolveError split_host_port(const char* text, uint16_t default_port, uint16_t minimum_port,
                             char* host, size_t host_size, uint16_t* port, bool* port_given) {
    const char* host_start = text;
    size_t host_length = 0;
    const char* port_text = nullptr;
    if (text[0] == '[') {
        const char* close = strchr(text, ']');
        if (close == nullptr) return ResolveError::no_host;
        host_start = text + 1;
        host_length = size_t(close - host_start);
        if (close[1] == ':') {
            port_text = close + 2;
        } else if (close[1] != '\0') {
            return ResolveError::no_host;
        }
    } else {
        const char* colon = strrchr(text, ':');
        if (colon != nullptr && strchr(text, ':') != colon) {
            // Two colons or more: a bare IPv6 address, which takes no port.
            host_length = strlen(text);
        } else {
            host_length = colon != nullptr ? size_t(colon - text) : strlen(text);
            if (colon != nullptr) port_text = colon + 1;
        }
    }
    *port = default_port;
    if (port_given != nullptr) *port_given = port_text != nullptr;
    if (port_text != nullptr && !parse_decimal<uint16_t>(port_text, minimum_port, 65535, port)) {
        return ResolveError::bad_port;
    }
    if (host_length == 0 || host_length >= host_size) return ResolveError::no_host;
    memcpy(host, host_start, host_length);
    host[host_length] = '\0';
    return ResolveError::none;
}

ResolveError resolve_relay_addresses(const char* text, uint16_t default_port,
                                     RelayAddresses* addresses) {
    return resolve(text, default_port, 1, false, addresses);
}

ResolveError resolve_relay(const char* text, uint16_t default_port, Peer* relay) {
    return resolve_first(text, default_port, 1, false, relay);
}

ResolveError resolve_endpoint(const char* text, bool port_zero_allowed, Peer* endpoint) {
    return resolve_first(text, 0, port_zero_allowed ? 0 : 1, true, endpoint);
}

}  // namespace kiv::client
