#include "relay/source_budget.hpp"

#include <cassert>

namespace kiv {

void SourceBudget::refill(Bucket& bucket, uint32_t now_ms) const {
    // An unsigned difference, like every time the relay compares; a bucket left alone for
    // the 49.7 days of a wrap may come back with less than it should, never with more.
    uint64_t gained = uint64_t(uint32_t(now_ms - bucket.refilled_ms)) * per_second_;
    bucket.spent_units = gained >= bucket.spent_units ? 0 : bucket.spent_units - uint32_t(gained);
    bucket.refilled_ms = now_ms;
}

SourceBudget::Bucket* SourceBudget::set_of(uint64_t source) {
    constexpr int SET_BITS = __builtin_ctz(SETS);
    // The key is mixed twice so that the high half of a network key (an IPv6 prefix) counts.
    uint64_t mixed = (source ^ (source >> 32)) * multiplier_;
    uint32_t set = SET_BITS == 0 ? 0 : uint32_t(mixed >> (64 - SET_BITS));
    return &buckets_[size_t(set) * WAYS];
}

SourceBudget::Bucket* SourceBudget::find(uint64_t source, uint32_t now_ms) {
    Bucket* set = set_of(source);
    for (int way = 0; way < WAYS; ++way) {
        if (set[way].source == source && set[way].spent_units != 0) {
            refill(set[way], now_ms);
            return &set[way];
        }
    }
    return nullptr;
}

// The bucket with the most budget left makes way, so a spent bucket is the last to go; the
// newcomer inherits what it had spent, refilled to now.
SourceBudget::Bucket& SourceBudget::claim(uint64_t source, uint32_t now_ms) {
    Bucket* set = set_of(source);
    Bucket* fullest = &set[0];
    for (int way = 0; way < WAYS; ++way) {
        refill(set[way], now_ms);
        if (set[way].spent_units < fullest->spent_units) fullest = &set[way];
    }
    fullest->source = source;
    return *fullest;
}

bool SourceBudget::exhausted(uint64_t source, uint32_t now_ms, uint32_t kept_back) {
    assert(uint64_t(kept_back) * UNITS_PER_ACTION < full_units_);
    const Bucket* bucket = find(source, now_ms);
    if (bucket == nullptr) bucket = &claim(source, now_ms);
    return bucket->spent_units + (1 + kept_back) * UNITS_PER_ACTION > full_units_;
}

void SourceBudget::spend(uint64_t source, uint32_t now_ms) {
    Bucket* bucket = find(source, now_ms);
    if (bucket == nullptr) bucket = &claim(source, now_ms);
    assert(bucket->spent_units + UNITS_PER_ACTION <= full_units_);
    bucket->spent_units += UNITS_PER_ACTION;
}

}  // namespace kiv
