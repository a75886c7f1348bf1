// kiv join: joins a room, sends each typed line to its host and prints what the host sends.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/kiv_client.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "kiv/event_loop.hpp"
#include "kiv/relay_choice.hpp"
#include "tunnel/path_line.hpp"
#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

constexpr const char* JOIN_USAGE =
    "usage: kiv join HOST[:PORT] ROOM [--listen ADDR:PORT] [--direct]";
constexpr const char* JOIN_HELP =
    "Joins a room on a kiv relay, sends each line typed to the room's host and prints each\n"
    "line the host sends. The place in the room is kept while the command runs and given up\n"
    "at end of input or Ctrl-C. A refused join prints the reason and exits 1.\n"
    "\n"
    "  HOST[:PORT] the relay: a name, an IPv4 address, or an IPv6 address in brackets\n"
    "              ([2001:db8::7]:27017; a bare ::1 takes no port); the port defaults to\n"
    "              27017. Of a name's addresses, the first to answer is used\n"
    "  ROOM        the room's 5-character code (any case) or its id (write a 5-digit id\n"
    "              as 012345)\n"
    "  --listen ADDR:PORT\n"
    "              carry raw datagrams instead of lines: binds ADDR:PORT, and each local\n"
    "              application that sends there joins the room as a client of its own (up\n"
    "              to 8); port 0 takes a free port; runs until Ctrl-C or SIGTERM\n"
    "  --direct    reach the host directly when it allows it too (kiv host --direct), through\n"
    "              the relay otherwise; with --listen, the place that talks to a kiv host\n"
    "              --forward; says on standard error when the path goes direct and when it\n"
    "              falls back\n";

struct JoinArguments {
    client::RelayAddresses relay;
    RoomId room_id;
    const char* listen_text = nullptr;
    Peer listen_on;
    bool direct = false;
};

// Reads the command line into `arguments`: -1 to go on, else the exit status.
int read_arguments(int argc, char** argv, JoinArguments* arguments) {
    static const option long_options[] = {{"listen", required_argument, nullptr, 'l'},
                                          {"direct", no_argument, nullptr, 'd'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    ArgumentScanner scanner(argc, argv, "h", long_options);
    for (int option; (option = scanner.next()) != -1;) {
        switch (option) {
            case 'h':
                printf("%s\n\n%s", JOIN_USAGE, JOIN_HELP);
                return 0;
            case 'l':
                arguments->listen_text = scanner.value();
                break;
            case 'd':
                arguments->direct = true;
                break;
            default:
                return scanner.report_bad_option(option, JOIN_USAGE);
        }
    }
    if (scanner.operand_count() != 2) {
        fprintf(stderr, "kiv join: expected a relay address and a room\n%s\n", JOIN_USAGE);
        return EXIT_USAGE;
    }
    Reason reason;
    if (!parse_relay_address(scanner.operand(0), &arguments->relay, &reason) ||
        !parse_room(scanner.operand(1), &arguments->room_id, &reason) ||
        (arguments->listen_text != nullptr &&
         !parse_endpoint(arguments->listen_text, true, &arguments->listen_on, &reason))) {
        fprintf(stderr, "kiv join: %s\n", reason.text);
        return EXIT_USAGE;
    }
    return -1;
}

// The line mode's client: its place in the room, and what it has said about the relay.
struct LineJoin {
    client::Client joiner;
    RelayStatus status;
    RoomId room_id;
    char room_text[CODE_LENGTH + 1];
};

// One event of the client. Returns an exit status, or -1 to go on.
int on_event(LineJoin& line, const client::Event& event) {
    RelayStatus& status = line.status;
    switch (event.kind) {
        case client::EventKind::joined:
            if (!status.regain(": in room %s again", line.room_text)) {
                fprintf(stderr, "joined room %s (id %u) on %s\n", line.room_text,
                        line.room_id.value, status.relay_text());
            }
            break;
        case client::EventKind::lost:
            status.lose(event.error, "; re-joining room %s for up to %d s", line.room_text,
                        int(client::RELAY_TIMEOUT_US / 1'000'000));
            break;
        case client::EventKind::data:
            if (event.length > 0) print_payload("", event.payload, event.length);
            break;
        case client::EventKind::refused:
            if (event.error == client::Error::other_host || event.error == client::Error::no_host) {
                fprintf(stderr,
                        "kiv join: room %s (id %u) on %s: %s, not the host this join joined; "
                        "stopping\n",
                        line.room_text, line.room_id.value, status.relay_text(),
                        client::error_text(event.error));
                return EXIT_FAILED;
            }
            fprintf(stderr, "kiv join: room %s (id %u) on %s: %s%s\n", line.room_text,
                    line.room_id.value, status.relay_text(), client::error_text(event.error),
                    status.lost() ? " (gave up re-joining)" : "");
            return EXIT_FAILED;
        case client::EventKind::timed_out:
            status.give_up(status.lost() ? " (gave up re-joining)" : "");
            return EXIT_FAILED;
        case client::EventKind::path_direct:
        case client::EventKind::path_relayed: {
            char text[160];
            if (tunnel::path_line("kiv join", false, event, text, sizeof text)) {
                fprintf(stderr, "%s\n", text);
            }
            break;
        }
        case client::EventKind::none:
        case client::EventKind::opened:
        case client::EventKind::pong:
        case client::EventKind::client_joined:
        case client::EventKind::client_left:
        default:
            break;
    }
    return -1;
}

void send_typed_lines(client::Client& joiner, LineReader& input) {
    const char* line = nullptr;
    size_t length = 0;
    bool too_long = false;
    while (input.next(&line, &length, &too_long)) {
        client::Error error =
            too_long ? client::Error::too_large : joiner.send(line, length, client::monotonic_us());
        if (error != client::Error::none) {
            fprintf(stderr, "kiv join: line not sent: %s\n", client::error_text(error));
        }
    }
}

// Prints the host's lines and sends the typed ones until input ends or a stop signal.
int join_lines(LineJoin& line) {
    client::Client& joiner = line.joiner;
    Wake wake;
    LineReader input(0);
    for (;;) {
        // Lines typed while re-joining wait in the input until the client is back.
        bool joined = joiner.state() == client::Client::State::joined;
        wake.clear();
        // The relay's socket needs no look after the wait: the client reads it for events.
        wake.watch(joiner.fd());
        int input_slot = wake.watch(joined ? input.fd() : -1);
        wake.within_ms(joiner.wait_ms(client::monotonic_us()));
        if (!wake.wait()) break;
        if (wake.readable(input_slot)) input.fill();
        for (client::Event event;
             (event = joiner.next_event(client::monotonic_us())).kind != client::EventKind::none;) {
            if (int status = on_event(line, event); status >= 0) return status;
        }
        send_typed_lines(joiner, input);
        if (input.at_end()) break;
    }
    (void)joiner.leave();
    return stopped_exit_status();
}

}  // namespace

int run_join(int argc, char** argv) {
    JoinArguments arguments;
    if (int status = read_arguments(argc, argv, &arguments); status >= 0) return status;
    Peer relay;
    if (int status = choose_relay("kiv join", arguments.relay, &relay); status >= 0) return status;
    if (arguments.listen_text != nullptr) {
        return run_listen(relay, arguments.room_id, arguments.listen_on, arguments.direct);
    }
    LineJoin line{{}, RelayStatus("kiv join", relay), arguments.room_id, {}};
    snprintf(line.room_text, sizeof line.room_text, "%s", room_code(arguments.room_id));
    client::Client& joiner = line.joiner;
    joiner.check_host(true);
    if (joiner.set_direct(arguments.direct) != client::Error::none ||
        joiner.connect(relay) != client::Error::none ||
        joiner.join(arguments.room_id, client::monotonic_us()) != client::Error::none) {
        fprintf(stderr, "kiv join: socket: %s\n", strerror(joiner.system_errno()));
        return EXIT_FAILED;
    }
    return join_lines(line);
}

}  // namespace kiv::cli
