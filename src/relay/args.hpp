// The relay's command line: kiv-relay [--bind ADDR] [--metrics [ADDR:]PORT]
// [--limits on|off] [--open-key FILE] [--validate-joins] [--hand-over] [--reflect] [port].
// The usage line leaves --hand-over out (it is for the service unit); the help and the manual
// describe it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"
#include "wire/protocol.hpp"

namespace kiv {

inline constexpr const char* RELAY_USAGE =
    "usage: kiv-relay [--bind ADDR] [--metrics [ADDR:]PORT] [--limits on|off] [--open-key FILE] "
    "[--validate-joins] [--reflect] [port]";

// The usage, then what each option does and its default, for --help.
inline constexpr const char* RELAY_HELP =
    "A UDP rendezvous and relay: a host opens a room and gets its id, clients send to that\n"
    "id, and the relay forwards between them. It runs in the foreground, writes one line\n"
    "per event to standard output, stops on SIGINT or SIGTERM, and reads its open key\n"
    "again on SIGHUP.\n"
    "\n"
    "  port                   UDP port to listen on, 0-65535 (default 27017; 0: any free)\n"
    "  --bind ADDR            listen on this numeric address only, \"::\" for IPv4 and IPv6\n"
    "                         on one socket (default: every IPv4 address)\n"
    "  --metrics [ADDR:]PORT  also serve GET /metrics over HTTP on this TCP port\n"
    "                         (ADDR 127.0.0.1 unless given; default: no metrics)\n"
    "  --limits on|off        limits per address and relay-wide on datagrams (default on;\n"
    "                         off is unsafe on a public port)\n"
    "  --open-key FILE        a host needs a token made with the key in FILE to open a room\n"
    "                         (default: anyone may open one)\n"
    "  --hand-over            under a service manager that keeps descriptors, SIGTERM hands\n"
    "                         the socket and the rooms to the next start, which takes them\n"
    "                         (default: SIGTERM ends the relay and its rooms)\n"
    "  --validate-joins       a client joins a room only once it has echoed a challenge\n"
    "                         sent to its address (default: its first datagram joins)\n"
    "  --reflect              tell a peer that asks the address it is seen from, for ends\n"
    "                         that try to reach each other directly (default: off)\n"
    "  -h, --help             print this help and exit\n"
    "  --version              print the version and exit\n"
    "\n"
    "The limits, the log lines and the signals: man kiv-relay\n";
static_assert(DEFAULT_PORT == 27017, "the help names the default port");

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
    bool validate_joins = false;          // --validate-joins: joins echo a challenge first
    bool reflect = false;                 // --reflect: answer MSG_REFLECT
};

enum class Command {
    RUN,      // serve, as `arguments` say
    HELP,     // print the usage and the help to standard output and exit 0
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
