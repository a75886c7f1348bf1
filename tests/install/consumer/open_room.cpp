// Opens a room on the relay at 127.0.0.1:PORT and prints its code.
#include <arpa/inet.h>
#include <poll.h>
#include <kiv/kiv_client.hpp>
#include <kiv/room_code.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    using namespace kiv::client;
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_port = htons(argc > 1 ? atoi(argv[1]) : 27017);
    relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Host host;
    if (host.connect(relay) != Error::none || host.open(0, monotonic_us()) != Error::none) return 1;
    for (;;) {
        pollfd socket{host.fd(), POLLIN, 0};
        poll(&socket, 1, host.wait_ms(monotonic_us()));
        Event event = host.next_event(monotonic_us());
        if (event.kind == EventKind::opened) {
            printf("room %s\n", kiv::room_code(event.value));
            return 0;
        }
        if (event.kind != EventKind::none) {
            fprintf(stderr, "%s\n", error_text(event.error));
            return 1;
        }
    }
}
