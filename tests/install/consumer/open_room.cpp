// Opens a room on the relay at 127.0.0.1:PORT and prints its code.
#include <poll.h>
#include <kiv/kiv_client.hpp>
#include <kiv/room_code.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    using namespace kiv::client;
    kiv::Peer relay = kiv::Peer::loopback(uint16_t(argc > 1 ? atoi(argv[1]) : 27017));
    Host host;
    if (host.connect(relay) != Error::none ||
        host.open(kiv::RoomId(), monotonic_us()) != Error::none) {
        return 1;
    }
    for (;;) {
        pollfd socket{host.fd(), POLLIN, 0};
        poll(&socket, 1, host.wait_ms(monotonic_us()));
        Event event = host.next_event(monotonic_us());
        if (event.kind == EventKind::opened) {
            printf("room %s\n", kiv::room_code(event.room));
            return 0;
        }
        if (event.kind != EventKind::none) {
            fprintf(stderr, "%s\n", error_text(event.error));
            return 1;
        }
    }
}
