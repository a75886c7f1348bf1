// The relay's shell: the command line, the one socket, the clock and the loop. Everything
// the protocol decides happens in Relay, and the batched moving of datagrams between the
// kernel and the core in batch_io.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "batch_io.hpp"
#include "log.hpp"
#include "settings.hpp"

namespace kiv {
namespace {

constexpr const char* USAGE = "usage: kiv-relay [port]";
constexpr int WAIT_LIMIT_MS = 1000;
// A drain pass ends after this many datagrams even if more are waiting, so that a steady
// flood cannot keep the loop from looking at the clock and sweeping silent peers.
constexpr int DRAIN_LIMIT = 1024;

int sock = -1;

uint32_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(ts.tv_sec) * 1000u + uint32_t(ts.tv_nsec / 1000000);
}

int system_rand(void*) {
    return rand();
}

void log_to_stdout(void*, const char* line) {
    logf_("%s", line);
}

// Accepts exactly a decimal number 0..65535: no sign, no blanks, nothing after it.
bool parse_port(const char* text, uint16_t* port) {
    if (*text == '\0') return false;
    uint32_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + uint32_t(*c - '0');
        if (value > 65535) return false;
    }
    *port = uint16_t(value);
    return true;
}

int open_socket(uint16_t port, uint16_t* bound_port) {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("socket");
        return -1;
    }
    int size = RECEIVE_BUFFER_BYTES;
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // a smaller one works
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("bind");
        return -1;
    }
    // A run of datagrams that a sender passed to the kernel as one segmented send then
    // arrives as one buffer (segments.hpp). A kernel that refuses the option hands them over
    // one by one, which works the same.
    int coalesce = 1;
    (void)setsockopt(sock, SOL_UDP, UDP_GRO, &coalesce, sizeof coalesce);
    int flags = fcntl(sock, F_GETFL, 0);
    (void)fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    // Port 0 lets the system choose; the banner must show the port actually bound.
    socklen_t length = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
    *bound_port = ntohs(addr.sin_port);
    return 0;
}

// Static memory gets its pages only when first written. Writing every page now, before the
// banner, makes the resident size the relay starts with the size it keeps under any load.
void make_resident(void* memory, size_t size) {
    volatile uint8_t* bytes = static_cast<uint8_t*>(memory);
    for (size_t offset = 0; offset < size; offset += 4096)
        bytes[offset] = bytes[offset];
}

[[noreturn]] void run(Relay& relay, Batch& batch) {
    uint32_t last_sweep = 0;
    for (;;) {
        pollfd waiting{sock, POLLIN, 0};
        if (poll(&waiting, 1, WAIT_LIMIT_MS) > 0) {
            int drained = 0;
            while (drained < DRAIN_LIMIT) {
                Drained pass = drain_batch(sock, relay, batch, now_ms);
                drained += pass.datagrams;
                if (pass.buffers < BATCH) break;  // the socket was empty
            }
        }
        if (uint32_t(now_ms() - last_sweep) >= SWEEP_MS) {
            relay.sweep(now_ms());
            last_sweep = now_ms();
        }
    }
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
    using namespace kiv;
    uint16_t port = DEFAULT_PORT;
    if (argc > 1) {
        if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
            printf("%s\n", USAGE);
            return 0;
        }
        if (strcmp(argv[1], "--version") == 0) {
            printf("kiv-relay %s\n", KIV_VERSION);
            return 0;
        }
        if (argc > 2) {
            fprintf(stderr, "kiv-relay: too many arguments\n%s\n", USAGE);
            return 2;
        }
        if (!parse_port(argv[1], &port)) {
            fprintf(stderr, "kiv-relay: invalid port '%s' (expected 0-65535)\n%s\n", argv[1],
                    USAGE);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    srand(now_ms() ^ uint32_t(time(nullptr)));
    tzset();

    uint16_t bound_port = 0;
    if (open_socket(port, &bound_port) < 0) return 1;

    // Everything the loop needs is made here, before the first datagram: the loop itself
    // allocates nothing.
    static Relay relay(RandomSource{system_rand, nullptr}, LogSink{log_to_stdout, nullptr});
    static Batch batch;
    make_resident(&relay, sizeof relay);
    make_resident(&batch, sizeof batch);
    logf_("kiv-relay listening on UDP %d (protocol %d, %d rooms max)", int(bound_port),
          int(PROTOCOL_VERSION), MAX_ROOMS);
    run(relay, batch);
}
