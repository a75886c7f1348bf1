// The relay's figures as text: the metrics page in the Prometheus text format and the
// one-line summary the stats signal logs. Both are rendered into a buffer the caller owns, so
// reading the figures allocates nothing and tests can look at the text directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/counters.hpp"
#include "relay/rooms.hpp"

namespace kiv {

// Enough for the whole page with every counter at its largest value.
inline constexpr size_t METRICS_PAGE_BYTES = 6144;

struct TableCounts {
    int rooms;
    int clients;
};

TableCounts table_counts(const RoomTable& table);

struct MetricsFigures {
    const Counters& counters;
    TableCounts table;
    const char* version;
    int64_t start_time_seconds;    // the wall clock when the relay started
    bool validates_joins = false;  // --validate-joins: the join figures are shown too
    bool reflect = false;          // --reflect: the page shows the reflections too
};

// Renders the page into `buffer`; returns its length, or 0 when it does not fit in `size`.
size_t metrics_render(const MetricsFigures& figures, char* buffer, size_t size);

// "stats: rooms R/256, clients C, received N, forwarded N, dropped N, errors N", where dropped
// sums every drop reason and errors every error sent. Returns what snprintf does.
int stats_format(const Counters& counters, TableCounts table, char* buffer, size_t size);

}  // namespace kiv
