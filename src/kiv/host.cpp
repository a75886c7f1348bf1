// kiv host: opens a room, shows each client's lines with its tag, and sends typed lines
// "TAG text" to the client with that tag.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/kiv_client.hpp"
#include "client/roster.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "kiv/event_loop.hpp"
#include "kiv/relay_choice.hpp"
#include "tunnel/path_line.hpp"
#include "wire/addr_text.hpp"
#include "wire/number_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

constexpr const char* HOST_USAGE =
    "usage: kiv host HOST[:PORT] [ROOM] [--token HEX] [--forward ADDR:PORT] [--direct]";
constexpr const char* HOST_HELP =
    "Opens a room on a kiv relay and prints its code and id. Each line a client sends is\n"
    "printed as 'TAG: text'; type 'TAG text' to send a line to the client with that tag.\n"
    "The room is kept alive while the command runs and closed at end of input or Ctrl-C.\n"
    "Standard error says when a tag joins, and when one leaves: after 60 s of silence, as\n"
    "the relay does not tell a host that a client left.\n"
    "\n"
    "  HOST[:PORT] the relay: a name, an IPv4 address, or an IPv6 address in brackets\n"
    "              ([2001:db8::7]:27017; a bare ::1 takes no port); the port defaults to\n"
    "              27017. Of a name's addresses, the first to answer is used\n"
    "  ROOM        the room wanted, as a code or an id; the relay picks another one if it\n"
    "              is taken (a 5-character ROOM is a code; write a 5-digit id as 012345)\n"
    "  --token HEX the open token (kiv token) a relay started with --open-key asks for\n"
    "  --forward ADDR:PORT\n"
    "              carry raw datagrams instead of lines: each client gets a UDP socket of\n"
    "              its own connected to ADDR:PORT, so the application there sees every\n"
    "              client as a peer; runs until Ctrl-C or SIGTERM\n"
    "  --direct    let clients that ask (kiv join --direct, with or without --listen)\n"
    "              reach this end directly; says on standard error when a path goes\n"
    "              direct and when it falls back to the relay\n";

// "TAG text" or "TAG: text". False when the line does not start with a tag.
bool split_tagged_line(const char* line, size_t length, Tag* tag, const char** text,
                       size_t* text_length) {
    size_t digits = decimal_digits({line, length}, 6);
    uint32_t value = 0;
    if (!parse_decimal({line, digits}, uint32_t(1), MAX_TAG, &value)) return false;
    size_t at = digits;
    if (at < length && line[at] == ':') ++at;
    if (at < length && line[at] != ' ') return false;
    if (at < length) ++at;
    *tag = Tag(value);
    *text = line + at;
    *text_length = length - at;
    return true;
}

void send_typed_line(client::Host& host, const char* line, size_t length) {
    Tag tag;
    const char* text = nullptr;
    size_t text_length = 0;
    if (!split_tagged_line(line, length, &tag, &text, &text_length)) {
        fprintf(stderr, "kiv host: expected 'TAG text' with a tag from 1 to 65535, e.g. '1 hi'\n");
        return;
    }
    client::Error error = host.send(tag, text, text_length, client::monotonic_us());
    if (error != client::Error::none) {
        fprintf(stderr, "kiv host: cannot send to tag %u: %s\n", tag.value,
                client::error_text(error));
    }
}

void announce_room(const char* relay_text, RoomId room_id, bool first) {
    printf("%sroom %s (id %u)\n", first ? "" : "room changed: ", room_code(room_id), room_id.value);
    fflush(stdout);
    fprintf(stderr, "clients join with: kiv join %s %s\n", relay_text, room_code(room_id));
    if (first) fprintf(stderr, "type 'TAG text' to send a line to a client\n");
}

struct HostArguments {
    client::RelayAddresses relay;
    RoomId requested;
    const char* forward_text = nullptr;
    Peer forward_to;
    const char* token_text = nullptr;
    uint8_t token[45] = {};
    size_t token_length = 0;
    bool direct = false;
};

// Reads the command line into `arguments`: -1 to go on, else the exit status.
int read_arguments(int argc, char** argv, HostArguments* arguments) {
    static const option long_options[] = {{"forward", required_argument, nullptr, 'f'},
                                          {"token", required_argument, nullptr, 't'},
                                          {"direct", no_argument, nullptr, 'd'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    ArgumentScanner scanner(argc, argv, "h", long_options);
    for (int option; (option = scanner.next()) != -1;) {
        switch (option) {
            case 'h':
                printf("%s\n\n%s", HOST_USAGE, HOST_HELP);
                return 0;
            case 'f':
                arguments->forward_text = scanner.value();
                break;
            case 't':
                arguments->token_text = scanner.value();
                break;
            case 'd':
                arguments->direct = true;
                break;
            default:
                return scanner.report_bad_option(option, HOST_USAGE);
        }
    }
    int operands = scanner.operand_count();
    if (operands < 1 || operands > 2) {
        fprintf(stderr, "kiv host: expected a relay address and at most one room\n%s\n",
                HOST_USAGE);
        return EXIT_USAGE;
    }
    Reason reason;
    if (!parse_relay_address(scanner.operand(0), &arguments->relay, &reason) ||
        (operands == 2 && !parse_room(scanner.operand(1), &arguments->requested, &reason)) ||
        (arguments->forward_text != nullptr &&
         !parse_endpoint(arguments->forward_text, false, &arguments->forward_to, &reason)) ||
        (arguments->token_text != nullptr &&
         !parse_open_token(arguments->token_text, arguments->token, &arguments->token_length,
                           &reason))) {
        fprintf(stderr, "kiv host: %s\n", reason.text);
        return EXIT_USAGE;
    }
    return -1;
}

// The line mode's host: its room on the relay, and what it has said about them.
struct LineHost {
    client::Host host;
    RelayStatus status;
    RoomId room;
    // The relay gave another room: the tags the library reports gone next were in the last.
    bool room_changed = false;
};

// The relay says nothing when a client leaves, so the library reports a tag gone once it has
// been silent as long as the relay keeps a client (a kiv join that left says so only to the
// relay), or when the room changed under it.
void say_client_left(const LineHost& line, Tag tag) {
    if (line.room_changed) {
        fprintf(stderr, "kiv host: tag %u left (it was in the room before)\n", tag.value);
    } else {
        fprintf(stderr, "kiv host: tag %u left (silent for %d s)\n", tag.value,
                int(client::Roster::SILENCE_US / 1'000'000));
    }
}

// One event of the host. Returns an exit status, or -1 to go on.
int on_event(LineHost& line, const client::Event& event) {
    RelayStatus& status = line.status;
    switch (event.kind) {
        case client::EventKind::opened: {
            bool first = !status.answered();
            line.room_changed = !first && event.room != line.room;
            // The same room again needs no new announcement: its clients come back.
            if (!status.regain(nullptr) || line.room_changed) {
                announce_room(status.relay_text(), event.room, first);
            }
            line.room = event.room;
            break;
        }
        case client::EventKind::lost:
            status.lose(event.error, "; asking for room %s again for up to %d s",
                        room_code(line.room), int(client::RELAY_TIMEOUT_US / 1'000'000));
            break;
        case client::EventKind::data: {
            // An empty datagram is a client keeping its slot, not a line.
            if (event.length == 0) break;
            char prefix[16];
            snprintf(prefix, sizeof prefix, "%u: ", event.tag.value);
            print_payload(prefix, event.payload, event.length);
            break;
        }
        case client::EventKind::refused:
            fprintf(stderr, "kiv host: relay %s refused: %s\n", status.relay_text(),
                    client::error_text(event.error));
            (void)line.host.close();  // a room the relay may still hold is given up
            return EXIT_FAILED;
        case client::EventKind::timed_out:
            status.give_up(status.lost()       ? " (gave up on the room)"
                           : status.answered() ? " (the room may be lost)"
                                               : "");
            (void)line.host.close();
            return EXIT_FAILED;
        case client::EventKind::client_joined:
            line.room_changed = false;  // the last room's tags are all gone by now
            fprintf(stderr, "kiv host: tag %u joined\n", event.tag.value);
            break;
        case client::EventKind::client_left:
            say_client_left(line, event.tag);
            break;
        case client::EventKind::path_direct:
        case client::EventKind::path_relayed: {
            char text[160];
            if (tunnel::path_line("kiv host", true, event, text, sizeof text)) {
                fprintf(stderr, "%s\n", text);
            }
            break;
        }
        case client::EventKind::none:
        case client::EventKind::joined:
        case client::EventKind::pong:
        default:
            break;
    }
    return -1;
}

void send_typed_lines(client::Host& host, LineReader& input) {
    const char* line = nullptr;
    size_t length = 0;
    bool too_long = false;
    while (input.next(&line, &length, &too_long)) {
        if (too_long) {
            fprintf(stderr, "kiv host: line too long, not sent (at most %zu bytes)\n",
                    client::MAX_PAYLOAD);
            continue;
        }
        send_typed_line(host, line, length);
    }
}

// Shows the clients' lines and sends the typed ones until input ends or a stop signal.
int host_lines(LineHost& line) {
    client::Host& host = line.host;
    Wake wake;
    LineReader input(0);
    for (;;) {
        // Typed lines wait until the room is open: before that there is no one to send to.
        bool open = host.state() == client::Host::State::open;
        wake.clear();
        // The relay's socket needs no look after the wait: the host reads it for events.
        wake.watch(host.fd());
        int input_slot = wake.watch(open ? input.fd() : -1);
        wake.within_ms(host.wait_ms(client::monotonic_us()));
        if (!wake.wait()) break;
        if (wake.readable(input_slot)) input.fill();
        for (client::Event event;
             (event = host.next_event(client::monotonic_us())).kind != client::EventKind::none;) {
            if (int status = on_event(line, event); status >= 0) return status;
        }
        send_typed_lines(host, input);
        if (input.at_end()) break;
    }
    (void)host.close();
    return stopped_exit_status();
}

}  // namespace

int run_host(int argc, char** argv) {
    HostArguments arguments;
    if (int status = read_arguments(argc, argv, &arguments); status >= 0) return status;
    Peer relay;
    if (int status = choose_relay("kiv host", arguments.relay, &relay); status >= 0) return status;
    if (arguments.forward_text != nullptr) {
        return run_forward(relay, arguments.requested, arguments.forward_to,
                           arguments.token_text != nullptr ? arguments.token : nullptr,
                           arguments.token_length, arguments.direct);
    }
    LineHost line{{}, RelayStatus("kiv host", relay), {}};
    client::Host& host = line.host;
    if (arguments.token_text != nullptr) {
        (void)host.set_open_token(arguments.token, arguments.token_length);
    }
    // A kiv join checks, after the relay was lost, that it is back with this run of the host.
    host.set_identity(uint64_t(client::unpredictable_start()) << 32 |
                      client::unpredictable_start());
    if (host.set_direct(arguments.direct) != client::Error::none ||
        host.connect(relay) != client::Error::none ||
        host.open(arguments.requested, client::monotonic_us()) != client::Error::none) {
        fprintf(stderr, "kiv host: socket: %s\n", strerror(host.system_errno()));
        return EXIT_FAILED;
    }
    return host_lines(line);
}

}  // namespace kiv::cli
