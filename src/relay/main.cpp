// The relay's shell: the command line, the one socket, the clock and the loop. Everything
// the protocol decides happens in Relay, the batched moving of datagrams between the kernel
// and the core in batch_io, and the metrics page, when asked for, in http_metrics.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
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

#include "addr_text.hpp"
#include "batch_io.hpp"
#include "http_metrics.hpp"
#include "log.hpp"
#include "metrics.hpp"
#include "settings.hpp"

namespace kiv {
namespace {

constexpr const char* USAGE = "usage: kiv-relay [--metrics [ADDR:]PORT] [port]";
constexpr int WAIT_LIMIT_MS = 1000;
// A drain pass ends after this many datagrams even if more are waiting, so that a steady
// flood cannot keep the loop from looking at the clock and sweeping silent peers.
constexpr int DRAIN_LIMIT = 1024;

int sock = -1;
int64_t start_time_seconds = 0;
// The socket's drop count as last read; the kernel keeps it in 32 bits.
uint32_t kernel_drops_seen = 0;
// Set by SIGUSR1, which is delivered only while the loop waits.
volatile sig_atomic_t stats_asked = 0;

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

// "[ADDR:]PORT" with ADDR an IPv4 address, 127.0.0.1 when left out.
bool parse_metrics_address(const char* text, sockaddr_in* address) {
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char* port_text = text;
    if (const char* colon = strrchr(text, ':')) {
        char host[INET_ADDRSTRLEN];
        size_t length = size_t(colon - text);
        if (length == 0 || length >= sizeof host) return false;
        memcpy(host, text, length);
        host[length] = '\0';
        if (inet_pton(AF_INET, host, &address->sin_addr) != 1) return false;
        port_text = colon + 1;
    }
    uint16_t port = 0;
    if (!parse_port(port_text, &port)) return false;
    address->sin_port = htons(port);
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

// Read when the figures are shown rather than per datagram, so counting kernel drops costs
// the datagram path nothing.
void update_kernel_drops(Counters& counters) {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, meminfo, &length) < 0) return;
    if (length < sizeof(uint32_t) * (SK_MEMINFO_DROPS + 1)) return;
    counters.receive_queue_drops += uint32_t(meminfo[SK_MEMINFO_DROPS] - kernel_drops_seen);
    kernel_drops_seen = meminfo[SK_MEMINFO_DROPS];
}

// The figures only the shell keeps, brought up to date when they are shown.
void update_shell_figures(Counters& counters) {
    update_kernel_drops(counters);
    counters.log_lines_dropped = log_lines_dropped();
}

size_t render_page(void* context, char* buffer, size_t size) {
    Relay& relay = *static_cast<Relay*>(context);
    update_shell_figures(relay.counters());
    MetricsFigures figures{relay.counters(), table_counts(relay.table()), KIV_VERSION,
                           start_time_seconds};
    return metrics_render(figures, buffer, size);
}

void log_stats(Relay& relay) {
    update_shell_figures(relay.counters());
    char line[160];
    stats_format(relay.counters(), table_counts(relay.table()), line, sizeof line);
    logf_("%s", line);
}

void on_stats_signal(int) {
    stats_asked = 1;
}

// SIGUSR1 is blocked except inside the wait, so it can neither interrupt a system call
// elsewhere nor slip in between the check of the flag and the wait; the signal mask the
// wait runs with is returned.
sigset_t take_stats_signal() {
    struct sigaction action {};
    action.sa_handler = on_stats_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait returns at once to log the line
    sigaction(SIGUSR1, &action, nullptr);
    sigset_t stats_signal;
    sigemptyset(&stats_signal);
    sigaddset(&stats_signal, SIGUSR1);
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, &stats_signal, &wait_mask);
    sigdelset(&wait_mask, SIGUSR1);
    return wait_mask;
}

[[noreturn]] void run(Relay& relay, Batch& batch, MetricsServer* metrics,
                      const sigset_t& wait_mask) {
    uint32_t last_sweep = 0;
    std::array<pollfd, 2 + METRICS_POLL_FDS> waiting;
    for (;;) {
        // Standard output is waited for only while log lines wait for it: a closed or broken
        // output would otherwise end every wait at once.
        waiting[0] = {sock, POLLIN, 0};
        waiting[1] = {log_waiting() ? STDOUT_FILENO : -1, POLLOUT, 0};
        int count = 2;
        int limit_ms = WAIT_LIMIT_MS;
        if (metrics != nullptr) {
            count += metrics->poll_fds(&waiting[2]);
            limit_ms = metrics->wait_limit_ms(now_ms(), limit_ms);
        }
        timespec limit{limit_ms / 1000, (limit_ms % 1000) * 1000000L};
        if (ppoll(waiting.data(), nfds_t(count), &limit, &wait_mask) <= 0) {
            for (int i = 0; i < count; ++i)
                waiting[i].revents = 0;
        }
        if (waiting[1].revents != 0) log_flush();
        if (waiting[0].revents != 0) {
            int drained = 0;
            while (drained < DRAIN_LIMIT) {
                Drained pass = drain_batch(sock, relay, batch, now_ms);
                drained += pass.datagrams;
                if (pass.buffers < BATCH) break;  // the socket was empty
            }
        }
        if (metrics != nullptr) {
            metrics->serve(&waiting[2], count - 2, now_ms(), PageSource{render_page, &relay});
        }
        if (stats_asked) {
            stats_asked = 0;
            log_stats(relay);
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
    bool port_given = false;
    const char* metrics_text = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            printf("%s\n", USAGE);
            return 0;
        }
        if (strcmp(arg, "--version") == 0) {
            printf("kiv-relay %s\n", KIV_VERSION);
            return 0;
        }
        if (strcmp(arg, "--metrics") == 0) {
            if (i + 1 == argc) {
                fprintf(stderr, "kiv-relay: --metrics needs [ADDR:]PORT\n%s\n", USAGE);
                return 2;
            }
            metrics_text = argv[++i];
        } else if (strncmp(arg, "--metrics=", 10) == 0) {
            metrics_text = arg + 10;
        } else if (strncmp(arg, "--", 2) == 0) {
            fprintf(stderr, "kiv-relay: unknown option '%s'\n%s\n", arg, USAGE);
            return 2;
        } else if (port_given) {
            fprintf(stderr, "kiv-relay: too many arguments\n%s\n", USAGE);
            return 2;
        } else if (!parse_port(arg, &port)) {
            fprintf(stderr, "kiv-relay: invalid port '%s' (expected 0-65535)\n%s\n", arg, USAGE);
            return 2;
        } else {
            port_given = true;
        }
    }
    sockaddr_in metrics_address{};
    if (metrics_text != nullptr && !parse_metrics_address(metrics_text, &metrics_address)) {
        fprintf(stderr,
                "kiv-relay: invalid metrics address '%s' (expected [ADDR:]PORT, ADDR an IPv4 "
                "address)\n%s\n",
                metrics_text, USAGE);
        return 2;
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
    sigset_t wait_mask = take_stats_signal();
    start_time_seconds = int64_t(time(nullptr));

    uint16_t bound_port = 0;
    if (open_socket(port, &bound_port) < 0) return 1;
    // Its connections and buffers are fixed like the rest; only what is asked for listens.
    static MetricsServer metrics_server;
    MetricsServer* metrics = nullptr;
    if (metrics_text != nullptr) {
        char reason[128];
        if (!metrics_server.open(metrics_address, reason, sizeof reason)) {
            fprintf(stderr, "kiv-relay: metrics: %s\n", reason);
            return 1;
        }
        metrics = &metrics_server;
        make_resident(metrics, sizeof *metrics);
    }

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
    if (metrics != nullptr) {
        sockaddr_in shown = metrics_address;
        shown.sin_port = htons(metrics->port());
        logf_("metrics on http://%s/metrics",
              addr_str(Peer::from_sockaddr(reinterpret_cast<sockaddr*>(&shown), sizeof shown)));
    }
    run(relay, batch, metrics, wait_mask);
}
