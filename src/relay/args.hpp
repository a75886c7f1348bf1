// The relay's command line: kiv-relay [--bind ADDR] [--metrics [ADDR:]PORT]
// [--limits on|off] [--open-key FILE] [--hand-over] [port]. The usage line leaves
// --hand-over out: it is for the service unit, which the manual describes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"

namespace kiv {

inline constexpr const char* RELAY_USAGE =
    "usage: kiv-relay [--bind ADDR] [--metrics [ADDR:]PORT] [--limits on|off] [--open-key FILE] "
    "[port]";

struct Arguments {
    uint16_t port;
    // Where the relay listens: every IPv4 address unless --bind names one; "::" is both
    // families on one socket.
    bool bind = false;
    Peer bind_address = Peer::any(0);
    bool metrics = false;                 // serve the metrics page
    Peer metrics_address{};               // where: 127.0.0.1 when no ADDR is given
    bool limits = true;                   // --limits off: every limit on datagrams off
    const char* open_key_path = nullptr;  // --open-key: hosts need a token to open a room
    bool hand_over = false;               // --hand-over: restarts keep the socket and rooms
};

enum class Command {
    RUN,      // serve, as `arguments` say
    HELP,     // print the usage to standard output and exit 0
    VERSION,  // print the version to standard output and exit 0
    INVALID,  // print "kiv-relay: <reason>" and the usage to standard error and exit 2
};

// Enough for any reason: the kernel passes no single argument longer than 128 KiB, and a
// reason quotes one argument whole.
inline constexpr size_t ARGUMENT_REASON_BYTES = 131072 + 128;

// Reads argv; on INVALID writes why into `reason`.
Command parse_arguments(int argc, char** argv, Arguments* arguments, char* reason,
                        size_t reason_size);

}  // namespace kiv
