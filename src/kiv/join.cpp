// kiv join: joins a room, sends each typed line to its host and prints what the host sends.
#include <cstdio>
#include <cstring>

#include "client/kiv_client.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

constexpr const char* JOIN_USAGE = "usage: kiv join HOST[:PORT] ROOM [--listen ADDR:PORT]";
constexpr const char* JOIN_HELP =
    "Joins a room on a kiv relay, sends each line typed to the room's host and prints each\n"
    "line the host sends. The place in the room is kept while the command runs and given up\n"
    "at end of input or Ctrl-C. A refused join prints the reason and exits 1.\n"
    "\n"
    "  HOST[:PORT] the relay: an IPv4 address or a name; the port defaults to 27017\n"
    "  ROOM        the room's 5-character code (any case) or its id (write a 5-digit id\n"
    "              as 012345)\n"
    "  --listen ADDR:PORT\n"
    "              carry raw datagrams instead of lines: binds ADDR:PORT, and each local\n"
    "              application that sends there joins the room as a client of its own (up\n"
    "              to 8); port 0 takes a free port; runs until Ctrl-C or SIGTERM\n";

}  // namespace

int run_join(int argc, char** argv) {
    static const option long_options[] = {{"listen", required_argument, nullptr, 'l'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    ArgumentScanner arguments(argc, argv, "h", long_options);
    const char* listen_text = nullptr;
    for (int option; (option = arguments.next()) != -1;) {
        switch (option) {
            case 'h':
                printf("%s\n\n%s", JOIN_USAGE, JOIN_HELP);
                return 0;
            case 'l':
                listen_text = arguments.value();
                break;
            default:
                return arguments.report_bad_option(option, JOIN_USAGE);
        }
    }
    if (arguments.operand_count() != 2) {
        fprintf(stderr, "kiv join: expected a relay address and a room\n%s\n", JOIN_USAGE);
        return EXIT_USAGE;
    }
    Peer relay;
    Peer listen_on;
    RoomId room_id;
    Reason reason;
    if (!parse_relay_address(arguments.operand(0), &relay, &reason) ||
        !parse_room(arguments.operand(1), &room_id, &reason) ||
        (listen_text != nullptr && !parse_endpoint(listen_text, true, &listen_on, &reason))) {
        fprintf(stderr, "kiv join: %s\n", reason.text);
        return EXIT_USAGE;
    }
    if (listen_text != nullptr) return run_listen(relay, room_id, listen_on);
    char relay_text[Peer::TEXT_CAPACITY];
    snprintf(relay_text, sizeof relay_text, "%s", addr_str(relay));
    char room_text[6];
    snprintf(room_text, sizeof room_text, "%s", room_code(room_id));

    client::Client joiner;
    if (joiner.connect(relay) != client::Error::none ||
        joiner.join(room_id, client::monotonic_us()) != client::Error::none) {
        fprintf(stderr, "kiv join: socket: %s\n", strerror(joiner.system_errno()));
        return EXIT_FAILED;
    }
    catch_stop_signals();
    LineReader input(0);
    bool lost = false;  // the relay lost the room or stopped answering; re-joining
    for (;;) {
        // Lines typed while re-joining wait in the input until the client is back.
        bool joined = joiner.state() == client::Client::State::joined;
        if (!wait_for(joiner.fd(), joined ? &input : nullptr,
                      joiner.wait_ms(client::monotonic_us()))) {
            break;
        }
        for (client::Event event;
             (event = joiner.next_event(client::monotonic_us())).kind != client::EventKind::none;) {
            switch (event.kind) {
                case client::EventKind::joined:
                    if (lost) {
                        fprintf(stderr, "kiv join: regained the relay at %s: in room %s again\n",
                                relay_text, room_text);
                    } else {
                        fprintf(stderr, "joined room %s (id %u) on %s\n", room_text, room_id.value,
                                relay_text);
                    }
                    lost = false;
                    break;
                case client::EventKind::lost:
                    fprintf(stderr,
                            "kiv join: lost the relay at %s (%s); re-joining room %s for up to "
                            "%d s\n",
                            relay_text, client::error_text(event.error), room_text,
                            int(client::RELAY_TIMEOUT_US / 1'000'000));
                    lost = true;
                    break;
                case client::EventKind::data:
                    if (event.length > 0) print_payload("", event.payload, event.length);
                    break;
                case client::EventKind::refused:
                    fprintf(stderr, "kiv join: room %s (id %u) on %s: %s%s\n", room_text,
                            room_id.value, relay_text, client::error_text(event.error),
                            lost ? " (gave up re-joining)" : "");
                    return EXIT_FAILED;
                case client::EventKind::timed_out:
                    fprintf(stderr, "kiv join: no answer from the relay at %s%s\n", relay_text,
                            lost ? " (gave up re-joining)" : "");
                    return EXIT_FAILED;
                case client::EventKind::none:
                case client::EventKind::opened:
                case client::EventKind::pong:
                case client::EventKind::client_joined:
                case client::EventKind::client_left:
                default:
                    break;
            }
        }
        const char* line = nullptr;
        size_t length = 0;
        bool too_long = false;
        while (input.next(&line, &length, &too_long)) {
            client::Error error = too_long ? client::Error::too_large
                                           : joiner.send(line, length, client::monotonic_us());
            if (error != client::Error::none) {
                fprintf(stderr, "kiv join: line not sent: %s\n", client::error_text(error));
            }
        }
        if (input.at_end()) break;
    }
    (void)joiner.leave();
    return stop_signal() != 0 ? 128 + stop_signal() : 0;
}

}  // namespace kiv::cli
