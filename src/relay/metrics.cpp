#include "relay/metrics.hpp"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace kiv {
namespace {

// Appends to a fixed buffer and remembers whether anything did not fit, so the page is
// either whole or reported as not rendered.
class PageWriter {
  public:
    PageWriter(char* buffer, size_t size) : buffer_(buffer), size_(size) {}

    void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (overflow_) return;
        va_list args;
        va_start(args, format);
        int written = vsnprintf(buffer_ + length_, size_ - length_, format, args);
        va_end(args);
        if (written < 0 || size_t(written) >= size_ - length_) {
            overflow_ = true;
            return;
        }
        length_ += size_t(written);
    }

    void family(const char* name, const char* type, const char* help) {
        add("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    }

    void sample(const char* name, uint64_t value) { add("%s %" PRIu64 "\n", name, value); }

    void sample(const char* name, const char* label, const char* label_value, uint64_t value) {
        add("%s{%s=\"%s\"} %" PRIu64 "\n", name, label, label_value, value);
    }

    // One sample per address family of a figure whose IPv6 share is counted apart.
    void sample_families(const char* name, const char* labels, uint64_t total, uint64_t ipv6) {
        add("%s{%sfamily=\"ipv4\"} %" PRIu64 "\n", name, labels, total - ipv6);
        add("%s{%sfamily=\"ipv6\"} %" PRIu64 "\n", name, labels, ipv6);
    }

    size_t finish() const { return overflow_ ? 0 : length_; }

  private:
    char* buffer_;
    size_t size_;
    size_t length_ = 0;
    bool overflow_ = false;
};

uint64_t error_count(const Counters& counters, ErrorCode error) {
    return counters.errors_sent[size_t(error)];
}

}  // namespace

TableCounts table_counts(const RoomTable& table) {
    TableCounts counts{0, 0};
    for (const Room& room : table.rooms()) {
        if (room.id.value == 0) continue;
        ++counts.rooms;
        counts.clients += client_count(room);
    }
    return counts;
}

size_t metrics_render(const MetricsFigures& figures, char* buffer, size_t size) {
    const Counters& c = figures.counters;
    PageWriter page(buffer, size);

    const char* received = "kiv_relay_datagrams_received_total";
    page.family(received, "counter", "Datagrams read from the relay's UDP socket.");
    page.sample_families(received, "", c.datagrams_received, c.datagrams_received_ipv6);

    const char* dropped = "kiv_relay_datagrams_dropped_total";
    page.family(dropped, "counter", "Datagrams dropped without an answer, by reason.");
    page.sample(dropped, "reason", "short", c.dropped_short);
    page.sample(dropped, "reason", "bad_magic", c.dropped_bad_magic);
    page.sample(dropped, "reason", "unknown_type", c.dropped_unknown_type);
    page.sample(dropped, "reason", "oversize", c.dropped_oversize);
    page.sample(dropped, "reason", "no_client", c.dropped_no_client);
    page.sample(dropped, "reason", "throttled", c.dropped_throttled);

    const char* throttled = "kiv_relay_throttled_total";
    page.family(throttled, "counter",
                "Datagrams dropped over a limit, by the limit: the source's room lookups, "
                "lookups answered relay-wide, the source's events.");
    page.sample(throttled, "reason", "lookups", c.throttled_lookups);
    page.sample(throttled, "reason", "lookup_ceiling", c.throttled_lookup_ceiling);
    page.sample(throttled, "reason", "events", c.throttled_events);

    const char* forwarded = "kiv_relay_datagrams_forwarded_total";
    page.family(forwarded, "counter", "Datagrams forwarded between clients and hosts.");
    page.sample_families(forwarded, "direction=\"to_host\",", c.forwarded_to_host,
                         c.forwarded_to_host_ipv6);
    page.sample_families(forwarded, "direction=\"to_client\",", c.forwarded_to_client,
                         c.forwarded_to_client_ipv6);

    const char* bytes = "kiv_relay_bytes_forwarded_total";
    page.family(bytes, "counter", "Bytes of whole datagrams forwarded, headers included.");
    page.sample_families(bytes, "direction=\"to_host\",", c.bytes_to_host, c.bytes_to_host_ipv6);
    page.sample_families(bytes, "direction=\"to_client\",", c.bytes_to_client,
                         c.bytes_to_client_ipv6);

    const char* errors = "kiv_relay_errors_sent_total";
    page.family(errors, "counter", "Error answers sent, by error.");
    page.sample(errors, "error", "no_room", error_count(c, ErrorCode::ERR_NO_ROOM));
    page.sample(errors, "error", "room_full", error_count(c, ErrorCode::ERR_ROOM_FULL));
    page.sample(errors, "error", "no_free_room", error_count(c, ErrorCode::ERR_NO_FREE_ROOM));
    page.sample(errors, "error", "bad_version", error_count(c, ErrorCode::ERR_BAD_VERSION));
    page.sample(errors, "error", "not_allowed", error_count(c, ErrorCode::ERR_NOT_ALLOWED));

    const char* pongs = "kiv_relay_pongs_sent_total";
    page.family(pongs, "counter", "Pings answered.");
    page.sample(pongs, c.pongs_sent);

    if (figures.reflect) {
        const char* reflections = "kiv_relay_reflections_total";
        page.family(reflections, "counter",
                    "Address requests (--reflect) answered, and dropped as too short for the "
                    "answer.");
        page.sample(reflections, "result", "answered", c.reflections_sent);
        page.sample(reflections, "result", "too_short", c.reflect_short);
    }

    const char* failures = "kiv_relay_send_failures_total";
    page.family(failures, "counter", "Datagrams the kernel refused to send.");
    page.sample(failures, c.send_failures);

    const char* queue_drops = "kiv_relay_receive_queue_drops_total";
    page.family(queue_drops, "counter",
                "Datagrams the kernel dropped at the relay's socket, mostly for a full receive "
                "buffer.");
    page.sample(queue_drops, c.receive_queue_drops);

    const char* rooms_open = "kiv_relay_rooms_open";
    page.family(rooms_open, "gauge", "Rooms open now.");
    page.sample(rooms_open, uint64_t(figures.table.rooms));

    const char* clients = "kiv_relay_clients";
    page.family(clients, "gauge", "Clients in a room now.");
    page.sample(clients, uint64_t(figures.table.clients));

    const char* capacity = "kiv_relay_rooms_capacity";
    page.family(capacity, "gauge", "Rooms the relay can hold.");
    page.sample(capacity, uint64_t(MAX_ROOMS));

    const char* opened = "kiv_relay_rooms_opened_total";
    page.family(opened, "counter", "Rooms opened.");
    page.sample(opened, c.rooms_opened);

    const char* closed = "kiv_relay_rooms_closed_total";
    page.family(closed, "counter", "Rooms closed, by reason.");
    page.sample(closed, "reason", "host_closed", c.rooms_closed_by_host);
    page.sample(closed, "reason", "host_silent", c.rooms_closed_silent);

    const char* joined = "kiv_relay_clients_joined_total";
    page.family(joined, "counter", "Clients that joined a room.");
    page.sample(joined, c.clients_joined);

    const char* left = "kiv_relay_clients_left_total";
    page.family(left, "counter", "Clients that lost their place in a room, by reason.");
    page.sample(left, "reason", "left", c.clients_left);
    page.sample(left, "reason", "timed_out", c.clients_timed_out);
    page.sample(left, "reason", "moved", c.clients_moved);
    page.sample(left, "reason", "room_closed", c.clients_room_closed);

    // Only on a relay that validates joins, so that the page of one that does not stays as
    // its scrapers know it.
    if (figures.validates_joins) {
        const char* challenges = "kiv_relay_join_challenges_total";
        page.family(challenges, "counter", "Challenges sent for datagrams that would join.");
        page.sample(challenges, c.challenges_sent);
        const char* echoes = "kiv_relay_join_echoes_total";
        page.family(echoes, "counter", "Echoes of a challenge, by outcome.");
        page.sample(echoes, "outcome", "validated", c.joins_validated);
        page.sample(echoes, "outcome", "refused", c.joins_refused);
    }

    const char* log_drops = "kiv_relay_log_lines_dropped_total";
    page.family(log_drops, "counter", "Log lines dropped because the log could not keep up.");
    page.sample(log_drops, c.log_lines_dropped);

    const char* suppressed = "kiv_relay_log_lines_suppressed_total";
    page.family(suppressed, "counter", "Log lines not written for the relay-wide ceiling.");
    page.sample(suppressed, c.log_lines_suppressed);

    const char* build = "kiv_relay_build_info";
    page.family(build, "gauge", "The relay's version, as a label; always 1.");
    page.sample(build, "version", figures.version, 1);

    const char* start = "kiv_relay_start_time_seconds";
    page.family(start, "gauge", "When the relay started, in seconds since the Unix epoch.");
    page.add("%s %" PRId64 "\n", start, figures.start_time_seconds);

    return page.finish();
}

int stats_format(const Counters& counters, TableCounts table, char* buffer, size_t size) {
    return snprintf(buffer, size,
                    "stats: rooms %d/%d, clients %d, received %" PRIu64 ", forwarded %" PRIu64
                    ", dropped %" PRIu64 ", errors %" PRIu64,
                    table.rooms, MAX_ROOMS, table.clients, counters.datagrams_received,
                    counters.forwarded(), counters.dropped(), counters.errors());
}

}  // namespace kiv
