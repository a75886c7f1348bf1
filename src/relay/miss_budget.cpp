#include "miss_budget.hpp"

#include <cassert>

namespace kiv {

void MissBudgets::refill(Bucket& bucket, uint32_t now_ms) {
    // An unsigned difference, like every time the relay compares; a bucket left alone for
    // the 49.7 days of a wrap may come back with less than it should, never with more.
    uint64_t gained = uint64_t(uint32_t(now_ms - bucket.refilled_ms)) * ROOM_MISS_PER_SECOND;
    bucket.spent_units = gained >= bucket.spent_units ? 0 : bucket.spent_units - uint32_t(gained);
    bucket.refilled_ms = now_ms;
}

MissBudgets::Bucket* MissBudgets::set_of(uint64_t network) {
    constexpr int SET_BITS = __builtin_ctz(SETS);
    uint32_t set = SET_BITS == 0 ? 0 : uint32_t((network * multiplier_) >> (64 - SET_BITS));
    return &buckets_[size_t(set) * WAYS];
}

MissBudgets::Bucket* MissBudgets::find(uint64_t network, uint32_t now_ms) {
    Bucket* set = set_of(network);
    for (int way = 0; way < WAYS; ++way) {
        if (set[way].network == network) {
            refill(set[way], now_ms);
            return &set[way];
        }
    }
    return nullptr;
}

// A full set gives up the bucket with the most budget left. An empty bucket is therefore
// the last to go: a scanner gets its budget back through eviction only once every other
// bucket of its set is as empty as its own, and which addresses share its set depends on the
// secret key. An honest address is never refused for someone else's lookups: if its bucket
// goes, it starts again full.
MissBudgets::Bucket& MissBudgets::claim(uint64_t network, uint32_t now_ms) {
    Bucket* set = set_of(network);
    Bucket* fullest = &set[0];
    for (int way = 0; way < WAYS; ++way) {
        refill(set[way], now_ms);
        if (set[way].spent_units < fullest->spent_units) fullest = &set[way];
    }
    *fullest = Bucket{network, 0, now_ms};
    return *fullest;
}

bool MissBudgets::exhausted(uint64_t network, uint32_t now_ms) {
    const Bucket* bucket = find(network, now_ms);
    return bucket != nullptr && bucket->spent_units + UNITS_PER_LOOKUP > FULL_UNITS;
}

void MissBudgets::spend(uint64_t network, uint32_t now_ms) {
    Bucket* bucket = find(network, now_ms);
    if (bucket == nullptr) bucket = &claim(network, now_ms);
    assert(bucket->spent_units + UNITS_PER_LOOKUP <= FULL_UNITS);
    bucket->spent_units += UNITS_PER_LOOKUP;
}

}  // namespace kiv
