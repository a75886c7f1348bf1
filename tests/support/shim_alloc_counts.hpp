// The layout of the allocation counters that alloc_count_shim shares with the tests through
// a mapped file.
#pragma once

#include <cstdint>

namespace kiv::test {

struct AllocCounters {
    static constexpr int SIZES_KEPT = 8;
    uint64_t loop_started;             // set by the loop's first wait: start-up is over
    uint64_t polls;                    // waits of the event loop so far
    uint64_t before_loop;              // allocations during start-up
    uint64_t in_loop;                  // allocations after start-up: must stay 0
    uint64_t frees_in_loop;            // frees after start-up
    uint64_t first_sizes[SIZES_KEPT];  // sizes of the first allocations after start-up
};

}  // namespace kiv::test
