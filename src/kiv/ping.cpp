// kiv ping: asks the relay for pongs and says whether it answers; the health probe.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/kiv_client.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "kiv/event_loop.hpp"
#include "kiv/relay_choice.hpp"
#include "wire/addr_text.hpp"

namespace kiv::cli {
namespace {

constexpr const char* PING_USAGE = "usage: kiv ping [-c COUNT] [-W SECONDS] HOST[:PORT]";
constexpr const char* PING_HELP =
    "Sends pings to a kiv relay and prints each round trip and a summary.\n"
    "Exits 0 when at least one ping was answered, 1 when none was.\n"
    "\n"
    "  -c COUNT    pings to send, one a second (default 3)\n"
    "  -W SECONDS  how long to wait for each answer (default 2); a ping is re-sent\n"
    "              every second while it waits\n"
    "  HOST[:PORT] the relay: a name, an IPv4 address, or an IPv6 address in brackets\n"
    "              ([2001:db8::7]:27017; a bare ::1 takes no port); the port defaults to\n"
    "              27017. Of a name's addresses, the first to answer is used\n";
constexpr uint64_t INTERVAL_US = 1'000'000;

struct Summary {
    uint32_t sent = 0;
    uint32_t answered = 0;
    uint64_t min_us = UINT64_MAX;
    uint64_t max_us = 0;
    uint64_t total_us = 0;
};

void print_summary(const char* relay_text, const Summary& summary) {
    uint32_t lost = summary.sent - summary.answered;
    printf("--- %s: %u sent, %u answered, %u%% lost", relay_text, summary.sent, summary.answered,
           summary.sent ? lost * 100 / summary.sent : 0);
    if (summary.answered > 0) {
        printf("; round trip min/avg/max %.3f/%.3f/%.3f ms", double(summary.min_us) / 1000,
               double(summary.total_us) / summary.answered / 1000, double(summary.max_us) / 1000);
    }
    printf("\n");
    fflush(stdout);
}

void count_pong(uint32_t round_trip_us, Summary* summary) {
    ++summary->answered;
    summary->total_us += round_trip_us;
    if (round_trip_us < summary->min_us) summary->min_us = round_trip_us;
    if (round_trip_us > summary->max_us) summary->max_us = round_trip_us;
}

// One probe, from its first send to its pong or time-out. False if a stop signal came.
bool probe(Wake& wake, RelayChoice& choice, uint64_t wait_us, Summary* summary) {
    uint32_t sequence = ++summary->sent;
    if (client::Error error = choice.start(client::monotonic_us(), wait_us);
        error != client::Error::none) {
        printf("ping %u to %s: %s: %s\n", sequence, addr_str(choice.relay()),
               client::error_text(error), strerror(choice.system_errno()));
        return true;
    }
    for (;;) {
        wake.clear();
        choice.watch(wake, client::monotonic_us());
        if (!wake.wait()) return false;
        client::Event event = choice.step(wake, client::monotonic_us());
        const char* relay_text = addr_str(choice.relay());
        switch (event.kind) {
            case client::EventKind::pong:
                count_pong(event.round_trip_us, summary);
                printf("pong %u from %s: time=%.3f ms\n", sequence, relay_text,
                       double(event.round_trip_us) / 1000);
                fflush(stdout);
                return true;
            case client::EventKind::timed_out:
                printf("ping %u to %s: no answer within %.1f s\n", sequence, relay_text,
                       double(wait_us) / 1e6);
                fflush(stdout);
                return true;
            case client::EventKind::refused:
                printf("ping %u to %s: refused: %s\n", sequence, relay_text,
                       client::error_text(event.error));
                fflush(stdout);
                return true;
            case client::EventKind::none:
            case client::EventKind::opened:
            case client::EventKind::joined:
            case client::EventKind::data:
            case client::EventKind::client_joined:
            case client::EventKind::client_left:
            case client::EventKind::lost:
            case client::EventKind::path_direct:
            case client::EventKind::path_relayed:
            default:
                break;
        }
    }
}

bool parse_seconds(const char* text, uint64_t* microseconds) {
    char* end = nullptr;
    double seconds = strtod(text, &end);
    if (end == text || *end != '\0' || !(seconds > 0) || seconds > 3600) return false;
    *microseconds = uint64_t(seconds * 1e6);
    return true;
}

}  // namespace

int run_ping(int argc, char** argv) {
    uint32_t count = 3;
    uint64_t wait_us = 2'000'000;
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    ArgumentScanner arguments(argc, argv, "c:W:h", long_options);
    for (int option; (option = arguments.next()) != -1;) {
        switch (option) {
            case 'h':
                printf("%s\n\n%s", PING_USAGE, PING_HELP);
                return 0;
            case 'c':
                if (!parse_number(arguments.value(), 1, 1'000'000, &count)) {
                    fprintf(stderr, "kiv ping: invalid count '%s' (expected 1-1000000)\n%s\n",
                            arguments.value(), PING_USAGE);
                    return EXIT_USAGE;
                }
                break;
            case 'W':
                if (!parse_seconds(arguments.value(), &wait_us)) {
                    fprintf(stderr,
                            "kiv ping: invalid wait '%s' (expected seconds, more than 0 and at "
                            "most 3600)\n%s\n",
                            arguments.value(), PING_USAGE);
                    return EXIT_USAGE;
                }
                break;
            default:
                return arguments.report_bad_option(option, PING_USAGE);
        }
    }
    if (arguments.operand_count() != 1) {
        fprintf(stderr, "kiv ping: expected one relay address\n%s\n", PING_USAGE);
        return EXIT_USAGE;
    }
    client::RelayAddresses relay;
    Reason reason;
    if (!parse_relay_address(arguments.operand(0), &relay, &reason)) {
        fprintf(stderr, "kiv ping: %s\n", reason.text);
        return EXIT_USAGE;
    }
    // Probes go to each of a name's addresses until one answers, and then to that one.
    RelayChoice choice(relay);
    if (choice.connect() != client::Error::none) {
        fprintf(stderr, "kiv ping: socket: %s\n", strerror(choice.system_errno()));
        return EXIT_FAILED;
    }
    Wake wake;
    Summary summary;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t started_us = client::monotonic_us();
        if (!probe(wake, choice, wait_us, &summary)) break;
        if (i + 1 == count) break;
        // Probes start a second apart, unless waiting for the answer took longer.
        wake.clear();
        wake.by_us(client::monotonic_us(), started_us + INTERVAL_US);
        if (!wake.wait()) break;
    }
    print_summary(addr_str(choice.relay()), summary);
    return summary.answered > 0 ? 0 : EXIT_FAILED;
}

}  // namespace kiv::cli
