// A host that sends every datagram back to the client it came from, with the C++ interface.
//
//   echo_host HOST:PORT     opens a room, prints "room CODE", then "joined TAG" and
//                           "left TAG" as clients come and go, until SIGINT or SIGTERM
//
// Exits 0 when stopped, 1 with the reason on standard error when the relay refuses or stops
// answering, 2 on a wrong command line.
#include <poll.h>
#include <signal.h>
#include <kiv/client/kiv_client.hpp>
#include <kiv/client/resolve.hpp>
#include <kiv/wire/room_code.hpp>

#include <cerrno>
#include <cstdio>

namespace {

volatile sig_atomic_t stopping = 0;

void stop(int) {
    stopping = 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kiv::client;
    if (argc != 2) {
        fprintf(stderr, "usage: echo_host HOST:PORT\n");
        return 2;
    }
    kiv::Peer relay;
    if (resolve_relay(argv[1], kiv::DEFAULT_PORT, &relay) != ResolveError::none) {
        fprintf(stderr, "echo_host: cannot resolve '%s'\n", argv[1]);
        return 2;
    }
    // Without SA_RESTART, so that a signal ends the wait at once.
    struct sigaction action = {};
    action.sa_handler = stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Host host;
    Error error = host.connect(relay);
    if (error == Error::none) error = host.open(kiv::RoomId(), monotonic_us());
    if (error != Error::none) {
        fprintf(stderr, "echo_host: %s: %s\n", argv[1], error_text(error));
        return 1;
    }
    while (!stopping) {
        pollfd socket{host.fd(), POLLIN, 0};
        if (poll(&socket, 1, host.wait_ms(monotonic_us())) < 0 && errno != EINTR) break;
        for (;;) {
            Event event = host.next_event(monotonic_us());
            if (event.kind == EventKind::none) break;
            switch (event.kind) {
                case EventKind::opened: {
                    kiv::RoomCodeText code;
                    kiv::room_code(event.room, code);
                    printf("room %s\n", code);
                    break;
                }
                case EventKind::data:
                    // Empty datagrams are a client's join and keep-alives: nothing to echo.
                    if (event.length > 0)
                        (void)host.send(event.tag, event.payload, event.length, monotonic_us());
                    break;
                case EventKind::client_joined:
                    printf("joined %u\n", unsigned(event.tag.value));
                    break;
                case EventKind::client_left:
                    printf("left %u\n", unsigned(event.tag.value));
                    break;
                case EventKind::refused:
                case EventKind::timed_out:
                    fprintf(stderr, "echo_host: %s: %s\n", argv[1], error_text(event.error));
                    return 1;
                case EventKind::lost:
                    // The library gets the room back by itself after a relay restart.
                    fprintf(stderr, "echo_host: lost the relay (%s); opening the room again\n",
                            error_text(event.error));
                    break;
                case EventKind::none:
                case EventKind::joined:
                case EventKind::pong:
                case EventKind::path_direct:
                case EventKind::path_relayed:
                    break;
            }
            fflush(stdout);
        }
    }
    (void)host.close();
    return 0;
}
