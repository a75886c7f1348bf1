#include "relay/shell.hpp"

#include <errno.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/hand_over.hpp"
#include "relay/log.hpp"
#include "relay/metrics.hpp"
#include "relay/reload.hpp"
#include "relay/settings.hpp"
#include "relay/system.hpp"
#include "version.hpp"
#include "wire/addr_text.hpp"
#include "wire/open_key_file.hpp"

namespace kiv {
namespace {

constexpr int WAIT_LIMIT_MS = 1000;
// A drain pass ends after this many datagrams even if more are waiting, so that a steady
// flood cannot keep the loop from looking at the clock and sweeping silent peers.
constexpr int DRAIN_LIMIT = 1024;
// How long a relay that handed over waits for standard output to take its last lines.
constexpr int LAST_LINES_WAIT_MS = 50;

// Set by SIGUSR1, which is delivered only while the loop waits.
volatile sig_atomic_t stats_asked = 0;
void on_stats_signal(int) {
    stats_asked = 1;
}
// SIGHUP and SIGTERM alike: set by the handler, acted on by the loop after its wait.
volatile sig_atomic_t reload_asked = 0;
void on_reload_signal(int) {
    reload_asked = 1;
}
volatile sig_atomic_t hand_over_asked = 0;
void on_hand_over_signal(int) {
    hand_over_asked = 1;
}

// The signals the loop acts on reach it only during its wait.
sigset_t catch_signals(bool hand_over) {
    sigset_t mask = sys::catch_during_wait(SIGUSR1, on_stats_signal);
    mask = sys::catch_during_wait(SIGHUP, on_reload_signal);
    if (hand_over) mask = sys::catch_during_wait(SIGTERM, on_hand_over_signal);
    sigdelset(&mask, SIGUSR1);
    sigdelset(&mask, SIGHUP);
    return mask;
}

// Room ids come from the kernel's random source: an id that could be predicted from the
// clock or the start time would let anyone walk into a room they were never given.
struct KernelRandom {
    std::array<uint32_t, 64> values;
    size_t next = 64;  // all used: the first draw fills the buffer
};

int kernel_rand(void* context) {
    auto& random = *static_cast<KernelRandom*>(context);
    if (random.next == random.values.size()) {
        // Once the kernel's pool is ready, as it was at start-up, a request of up to 256
        // bytes is always filled whole; the old values are kept only if that promise breaks.
        (void)sys::fill_random(random.values.data(), sizeof random.values);
        random.next = 0;
    }
    return int(random.values[random.next++] & RAND_MAX);
}

void log_to_stdout(void*, const char* line) {
    logf_("%s", line);
}

// The figures only the shell keeps, read when they are shown rather than per datagram, so
// that counting them costs the datagram path nothing.
void update_shell_figures(Shell& shell) {
    Counters& counters = shell.relay->counters();
    uint32_t drops = 0;
    if (sys::socket_drops(shell.sock, &drops)) {
        counters.receive_queue_drops += uint32_t(drops - shell.kernel_drops_seen);
        shell.kernel_drops_seen = drops;
    }
    counters.log_lines_dropped = log_lines_dropped();
}

size_t render_page(void* context, char* buffer, size_t size) {
    Shell& shell = *static_cast<Shell*>(context);
    update_shell_figures(shell);
    MetricsFigures figures{shell.relay->counters(), table_counts(shell.relay->table()), KIV_VERSION,
                           shell.start_time_seconds, shell.relay->validates_joins()};
    figures.reflect = shell.relay->reflects();
    return metrics_render(figures, buffer, size);
}

void log_stats(Shell& shell) {
    update_shell_figures(shell);
    char line[160];
    stats_format(shell.relay->counters(), table_counts(shell.relay->table()), line, sizeof line);
    logf_("%s", line);
}

// SIGTERM under a manager that keeps descriptors: the socket and the rooms go to the next
// start. Datagrams not yet read stay in the socket's queue for it.
int hand_over(Shell& shell) {
    update_shell_figures(shell);
    char said[200];
    bool handed = hand_over_give(shell.sock, *shell.relay, shell.origin, shell.hash_key,
                                 sys::monotonic_ms(), shell.kernel_drops_seen, said, sizeof said);
    logf_("hand-over: %s%s", handed ? "" : "failed: ", said);
    // The last lines are written if output takes them within LAST_LINES_WAIT_MS: the next
    // relay starts only once this one has exited, and until then nothing forwards.
    for (int waited_ms = 0; waited_ms < LAST_LINES_WAIT_MS && log_waiting(); waited_ms += 10) {
        pollfd output{STDOUT_FILENO, POLLOUT, 0};
        (void)sys::wait(&output, 1, 10, shell.wait_mask);
        log_flush();
    }
    return 0;
}

// The socket handed over by the last relay when there is one bound as asked, else a new
// one; and with it what the snapshot handed over is checked against.
bool open_socket(const Arguments& arguments, Shell& shell, TakeOver* take, Peer* bound,
                 char* reason, size_t reason_size) {
    Peer listen_address = arguments.bind_address;
    listen_address.set_port(arguments.port);
    if (arguments.hand_over) hand_over_take(listen_address, take);
    *bound = take->bound;
    shell.sock = take->sock;
    if (shell.sock < 0)
        shell.sock = sys::open_udp(listen_address, arguments.bind, RECEIVE_BUFFER_BYTES, bound,
                                   reason, reason_size);
    if (shell.sock < 0) return false;
    take->origin.bound = *bound;
    hand_over_check_snapshot(take);
    shell.origin = take->origin;
    // A socket handed over counts its drops from when it was opened: those the last relay
    // did not report yet are the ones after what its snapshot says it saw.
    if (take->sock >= 0) (void)sys::socket_drops(shell.sock, &shell.kernel_drops_seen);
    if (take->sock >= 0 && take->snapshot_good)
        shell.kernel_drops_seen = take->header.socket_drops_seen;
    return true;
}

// The relay's draws from the kernel's random source: the table's hash key and the random
// ids, and with --validate-joins the master key of join cookies, which anyone able to predict
// could use to answer challenges sent to addresses they do not own.
bool draw_keys(const Arguments& arguments, KernelRandom& random, uint64_t* hash_key,
               JoinCookieKey& cookie_key) {
    if (!sys::fill_random(random.values.data(), sizeof random.values) ||
        !sys::fill_random(hash_key, sizeof *hash_key))
        return false;
    random.next = 0;
    return !arguments.validate_joins || sys::fill_random(cookie_key.bytes, sizeof cookie_key.bytes);
}

// The start-up lines: the banner, then where it listens and serves metrics when asked.
void log_listening(const Arguments& arguments, const Peer& bound, const MetricsServer* metrics) {
    logf_("kiv-relay listening on UDP %d (protocol %d, %d rooms max)", int(bound.port()),
          int(PROTOCOL_VERSION), MAX_ROOMS);
    if (arguments.bind) {
        const char* families = !bound.is_ipv4() && bound.is_any_address() ? "IPv4 and IPv6"
                               : bound.is_ipv4()                          ? "IPv4"
                                                                          : "IPv6";
        logf_("listening on %s (%s)", addr_str(bound), families);
    }
    if (metrics != nullptr) {
        Peer shown = arguments.metrics_address;
        shown.set_port(metrics->port());
        logf_("metrics on http://%s/metrics", addr_str(shown));
    }
}

}  // namespace

bool shell_start(const Arguments& arguments, Shell& shell, char* reason, size_t reason_size) {
    sys::prepare_process();
    static OpenKey open_key;
    if (arguments.open_key_path != nullptr) {
        char why[512];
        if (!open_key_load(arguments.open_key_path, &open_key, why, sizeof why)) {
            snprintf(reason, reason_size, "kiv-relay: %s", why);
            return false;
        }
    }
    static KernelRandom random;
    uint64_t hash_key = 0;
    static JoinCookieKey cookie_key;
    if (!draw_keys(arguments, random, &hash_key, cookie_key)) {
        snprintf(reason, reason_size, "kiv-relay: cannot read the kernel's random source: %s",
                 strerror(errno));
        return false;
    }
    shell.arguments = &arguments;
    shell.hand_over = arguments.hand_over && hand_over_possible();
    shell.wait_mask = catch_signals(shell.hand_over);
    shell.start_time_seconds = sys::wall_clock_seconds();
    static TakeOver take;
    Peer bound;
    if (!open_socket(arguments, shell, &take, &bound, reason, reason_size)) return false;
    if (take.snapshot_good) hash_key = take.header.hash_key;  // the same indexes and budgets
    shell.hash_key = hash_key;
    // Its connections and buffers are fixed like the rest; only what is asked for listens.
    static MetricsServer metrics;
    if (arguments.metrics) {
        char why[128];
        if (!metrics.open(arguments.metrics_address, why, sizeof why)) {
            snprintf(reason, reason_size, "kiv-relay: metrics: %s", why);
            return false;
        }
        shell.metrics = &metrics;
        sys::make_resident(&metrics, sizeof metrics);
    }
    static Relay relay(RandomSource{kernel_rand, &random}, LogSink{log_to_stdout, nullptr},
                       hash_key);
    static Batch batch;
    if (!arguments.limits) relay.set_limits(LimitSwitches::off());
    if (open_key.is_set()) relay.open_gate().require(&open_key);
    if (arguments.validate_joins) relay.validate_joins(&cookie_key);
    relay.set_reflect(arguments.reflect);
    relay.open_gate().set_wall_clock(uint64_t(shell.start_time_seconds), sys::monotonic_ms());
    sys::make_resident(&relay, sizeof relay);
    sys::make_resident(&batch, sizeof batch);
    shell.relay = &relay;
    shell.batch = &batch;
    batch.plan.peer_hash = PeerHashKey::from_seed(hash_key ^ 0x5851F42D4C957F2Dull);
    log_open();
    log_listening(arguments, bound, shell.metrics);
    if (arguments.hand_over) hand_over_finish(&take, relay);
    return true;
}

int shell_run(Shell& shell) {
    std::array<pollfd, 2 + METRICS_POLL_FDS> waiting;
    uint32_t now_ms = sys::monotonic_ms();
    uint32_t last_sweep_ms = 0;
    for (;;) {
        // Standard output is waited for only while log lines wait for it: a closed or broken
        // output would otherwise end every wait at once.
        waiting[0] = {shell.sock, POLLIN, 0};
        waiting[1] = {log_waiting() ? STDOUT_FILENO : -1, POLLOUT, 0};
        int count = 2;
        int limit_ms = WAIT_LIMIT_MS;
        if (shell.metrics != nullptr) {
            count += shell.metrics->poll_fds(&waiting[2]);
            limit_ms = shell.metrics->wait_limit_ms(now_ms, limit_ms);
        }
        if (sys::wait(waiting.data(), count, limit_ms, shell.wait_mask) <= 0) {
            for (int i = 0; i < count; ++i)
                waiting[i].revents = 0;
        }
        if (hand_over_asked) return hand_over(shell);
        // Before the drain: whatever arrives after the signal meets the settings it asked for.
        if (reload_asked) {
            reload_asked = 0;
            reload_settings(*shell.arguments, *shell.relay, uint64_t(sys::wall_clock_seconds()));
        }
        // One reading of the clock serves the pass: a pass is short (DRAIN_LIMIT datagrams
        // at most), and the core's timeouts are in seconds.
        now_ms = sys::monotonic_ms();
        if (waiting[1].revents != 0) log_flush();
        if (waiting[0].revents != 0) {
            int drained = 0;
            while (drained < DRAIN_LIMIT) {
                Drained pass = drain_batch(shell.sock, *shell.relay, *shell.batch, now_ms);
                drained += pass.datagrams;
                if (pass.buffers < BATCH) break;  // the socket was empty
            }
        }
        if (shell.metrics != nullptr)
            shell.metrics->serve(&waiting[2], count - 2, now_ms, PageSource{render_page, &shell});
        if (stats_asked) {
            stats_asked = 0;
            log_stats(shell);
        }
        if (uint32_t(now_ms - last_sweep_ms) >= SWEEP_MS) {
            // Open tokens expire by the wall clock, which the core is told once a sweep.
            shell.relay->open_gate().set_wall_clock(uint64_t(sys::wall_clock_seconds()), now_ms);
            shell.relay->sweep(now_ms);
            last_sweep_ms = now_ms;
        }
    }
}

}  // namespace kiv
