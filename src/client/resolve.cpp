#include "resolve.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace kiv::client {

namespace {

bool parse_port(const char* text, uint16_t* port) {
    uint32_t value = 0;
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + uint32_t(*text - '0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;
    *port = uint16_t(value);
    return true;
}

}  // namespace

ResolveError resolve_relay(const char* text, uint16_t default_port, Peer* relay) {
    // The longest name DNS allows is 253 characters.
    char host[254];
    const char* colon = strrchr(text, ':');
    size_t host_length = colon != nullptr ? size_t(colon - text) : strlen(text);
    uint16_t port = default_port;
    if (colon != nullptr && !parse_port(colon + 1, &port)) return ResolveError::bad_port;
    if (host_length == 0 || host_length >= sizeof host) return ResolveError::no_host;
    memcpy(host, text, host_length);
    host[host_length] = '\0';

    in_addr numeric{};
    if (inet_pton(AF_INET, host, &numeric) == 1) {
        *relay = Peer::ipv4(ntohl(numeric.s_addr), port);
        return ResolveError::none;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return ResolveError::not_found;
    }
    Peer peer = Peer::from_sockaddr(found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (!peer.is_set()) return ResolveError::not_found;
    peer.set_port(port);
    *relay = peer;
    return ResolveError::none;
}

}  // namespace kiv::client
