// Token buckets per source network, in a fixed table: how much each source may still do of
// one kind of thing (look rooms up, change the table). A source's budget comes back at a
// steady rate up to a burst; a source without a bucket has a full budget.
//
// The table is set-associative and keyed with a secret, so that no peer can choose sources
// that crowd one set. When a set is full, the bucket with the most budget left makes way,
// and the newcomer takes over what that bucket had spent: giving a bucket away never creates
// budget. A source that has been idle long enough to be full loses nothing by being
// forgotten; while a crowd of sources churns through a set, each newcomer starts as spent as
// the least spent of the crowd, not with a fresh burst.
#pragma once

#include <array>
#include <cstdint>

#include "relay/settings.hpp"

namespace kiv {

class SourceBudget {
  public:
    // One action costs this many units; a bucket gains `per_second` units a millisecond, so
    // whole actions come back at `per_second` a second.
    static constexpr uint32_t UNITS_PER_ACTION = 1000;
    // Sources that share a hash value share a set of this many buckets.
    static constexpr int WAYS = 16;

    // `hash_key` keeps peers from choosing sources that crowd one set; only its odd part is
    // used.
    SourceBudget(uint32_t burst, uint32_t per_second, uint64_t hash_key)
        : full_units_(burst * UNITS_PER_ACTION),
          per_second_(per_second),
          multiplier_(hash_key | 1) {}

    // Whether `source` (a Peer's network_key()) has less than one action left at now_ms
    // beyond the last `kept_back` actions of its burst.
    bool exhausted(uint64_t source, uint32_t now_ms, uint32_t kept_back = 0);
    // Takes one action from the budget of `source`, which the caller found not exhausted.
    void spend(uint64_t source, uint32_t now_ms);

  private:
    friend struct SnapshotAccess;  // snapshot.cpp
    // A bucket with spent_units 0 is full: it may go to another source without changing
    // anyone's budget.
    struct Bucket {
        uint64_t source;
        uint32_t spent_units;
        uint32_t refilled_ms;
    };
    static constexpr int SETS = SOURCE_BUDGET_BUCKETS / WAYS;
    static_assert(SETS >= 1 && (SETS & (SETS - 1)) == 0, "set count must be a power of two");

    Bucket* set_of(uint64_t source);
    Bucket* find(uint64_t source, uint32_t now_ms);
    Bucket& claim(uint64_t source, uint32_t now_ms);
    void refill(Bucket& bucket, uint32_t now_ms) const;

    uint32_t full_units_;
    uint32_t per_second_;
    uint64_t multiplier_;
    std::array<Bucket, SOURCE_BUDGET_BUCKETS> buckets_{};
};

}  // namespace kiv
