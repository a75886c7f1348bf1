// What the relay has done since it started, as plain counters: the core and the shell add to
// them with one increment each, on the one thread, and the metrics page and the stats line
// read them. Nothing here is ever reset or decremented.
#pragma once

#include <array>
#include <cstdint>

#include "wire/protocol.hpp"

namespace kiv {

struct Counters {
    uint64_t datagrams_received = 0;

    // Datagrams the relay let fall without an answer, by why.
    uint64_t dropped_short = 0;  // shorter than a header
    uint64_t dropped_bad_magic = 0;
    uint64_t dropped_unknown_type = 0;  // a type no peer sends to the relay
    uint64_t dropped_oversize = 0;      // data longer than MAX_DATAGRAM
    uint64_t dropped_no_client = 0;     // a host's data for a tag nobody holds
    uint64_t dropped_throttled = 0;     // over a limit: the sum of the throttled_ counts

    // Throttled datagrams by the limit they met.
    uint64_t throttled_lookups = 0;         // the source's room lookups
    uint64_t throttled_lookup_ceiling = 0;  // lookups answered, relay-wide
    uint64_t throttled_events = 0;          // the source's events

    uint64_t forwarded_to_host = 0;
    uint64_t forwarded_to_client = 0;
    uint64_t bytes_to_host = 0;  // whole datagrams, header included
    uint64_t bytes_to_client = 0;
    // The share of the figures above that IPv6 peers sent (received) or were sent
    // (forwarded); the rest is IPv4.
    uint64_t datagrams_received_ipv6 = 0;
    uint64_t forwarded_to_host_ipv6 = 0;
    uint64_t forwarded_to_client_ipv6 = 0;
    uint64_t bytes_to_host_ipv6 = 0;
    uint64_t bytes_to_client_ipv6 = 0;

    // Indexed by the error value; index 0 is never used.
    std::array<uint64_t, size_t(ErrorCode::ERR_NOT_ALLOWED) + 1> errors_sent{};
    uint64_t pongs_sent = 0;
    // --reflect: requests answered, and requests too short to carry the answer.
    uint64_t reflections_sent = 0;
    uint64_t reflect_short = 0;

    uint64_t send_failures = 0;  // datagrams the kernel refused to send
    // Datagrams the kernel dropped before the relay read them, as the socket last reported.
    uint64_t receive_queue_drops = 0;

    uint64_t rooms_opened = 0;
    uint64_t rooms_closed_by_host = 0;
    uint64_t rooms_closed_silent = 0;
    uint64_t clients_joined = 0;
    uint64_t clients_left = 0;
    uint64_t clients_timed_out = 0;
    uint64_t clients_moved = 0;  // went on to another room, or to host one
    uint64_t clients_room_closed = 0;

    // With --validate-joins: challenges sent, joins that echoed a good cookie, and echoes
    // refused (a bad or stale cookie, a malformed one, or one from a host).
    uint64_t challenges_sent = 0;
    uint64_t joins_validated = 0;
    uint64_t joins_refused = 0;

    uint64_t log_lines_dropped = 0;
    uint64_t log_lines_suppressed = 0;  // over the relay-wide ceiling, never written

    bool operator==(const Counters&) const = default;

    uint64_t dropped() const {
        return dropped_short + reflect_short + dropped_bad_magic + dropped_unknown_type +
               dropped_oversize + dropped_no_client + dropped_throttled + joins_refused;
    }
    uint64_t forwarded() const { return forwarded_to_host + forwarded_to_client; }
    uint64_t errors() const {
        uint64_t sum = 0;
        for (uint64_t count : errors_sent)
            sum += count;
        return sum;
    }
};

}  // namespace kiv
