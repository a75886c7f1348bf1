// The relay's shell: the command line, the one socket, the clock and the loop. Everything
// the protocol decides happens in Relay, and the batched moving of datagrams between the
// kernel and the core in batch_io.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
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

// Room ids come from the kernel's random source: an id that could be predicted from the
// clock or the start time would let anyone walk into a room they were never given.
struct KernelRandom {
    std::array<uint32_t, 64> values;
    size_t next = 64;  // all used: the first draw fills the buffer
};

// Fills `buffer` from the kernel; false, with errno set, if it cannot.
bool kernel_random(void* buffer, size_t size) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        size -= size_t(got);
    }
    return true;
}

int kernel_rand(void* context) {
    auto& random = *static_cast<KernelRandom*>(context);
    if (random.next == random.values.size()) {
        // Once the kernel's pool is ready, as it was at start-up, a request of up to 256
        // bytes is always filled whole; the old values are kept only if that promise breaks.
        (void)kernel_random(random.values.data(), sizeof random.values);
        random.next = 0;
    }
    return int(random.values[random.next++] & RAND_MAX);
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
        // Standard output is waited for only while log lines wait for it: a closed or broken
        // output would otherwise end every wait at once.
        pollfd waiting[2] = {{sock, POLLIN, 0}, {log_waiting() ? STDOUT_FILENO : -1, POLLOUT, 0}};
        if (poll(waiting, 2, WAIT_LIMIT_MS) <= 0) waiting[0].revents = waiting[1].revents = 0;
        if (waiting[1].revents != 0) log_flush();
        if (waiting[0].revents != 0) {
            int drained = 0;
            while (drained < DRAIN_LIMIT) {
                int count = drain_batch(sock, relay, batch, now_ms);
                drained += count;
                if (count < BATCH) break;  // the socket was empty
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
    tzset();
    static KernelRandom random;
    uint64_t hash_key = 0;
    if (!kernel_random(random.values.data(), sizeof random.values) ||
        !kernel_random(&hash_key, sizeof hash_key)) {
        fprintf(stderr, "kiv-relay: cannot read the kernel's random source: %s\n", strerror(errno));
        return 1;
    }
    random.next = 0;

    uint16_t bound_port = 0;
    if (open_socket(port, &bound_port) < 0) return 1;

    // Everything the loop needs is made here, before the first datagram: the loop itself
    // allocates nothing.
    static Relay relay(RandomSource{kernel_rand, &random}, LogSink{log_to_stdout, nullptr},
                       hash_key);
    static Batch batch;
    make_resident(&relay, sizeof relay);
    make_resident(&batch, sizeof batch);
    log_open();
    logf_("kiv-relay listening on UDP %d (protocol %d, %d rooms max)", int(bound_port),
          int(PROTOCOL_VERSION), MAX_ROOMS);
    run(relay, batch);
}
