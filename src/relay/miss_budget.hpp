// How many rooms each source may still look up by id from outside: a token bucket per source
// network (Peer::network_key(); for IPv4, the address). A room id is a rendezvous, and every
// answer to "is there a room with this id?" tells a scanner something, so outsiders get a few
// such answers in a burst and then a trickle, while peers already in a room never touch their
// bucket.
#pragma once

#include <array>
#include <cstdint>

#include "settings.hpp"

namespace kiv {

class MissBudgets {
  public:
    // One lookup costs this many units; a bucket gains ROOM_MISS_PER_SECOND units a
    // millisecond, so whole lookups come back at ROOM_MISS_PER_SECOND a second.
    static constexpr uint32_t UNITS_PER_LOOKUP = 1000;
    static constexpr uint32_t FULL_UNITS = ROOM_MISS_BURST * UNITS_PER_LOOKUP;
    // Addresses that share a hash value share a set of this many buckets.
    static constexpr int WAYS = 8;

    MissBudgets() = default;
    // `hash_key` keeps peers from choosing addresses that crowd one set; only its odd part
    // is used.
    explicit MissBudgets(uint64_t hash_key) : multiplier_(hash_key | 1) {}

    // Whether the source network `network` (Peer::network_key()) has less than one lookup
    // left at now_ms.
    bool exhausted(uint64_t network, uint32_t now_ms);
    // Takes one lookup from the budget of `network`, which the caller found not exhausted.
    void spend(uint64_t network, uint32_t now_ms);

  private:
    // All zeros is a full, unclaimed bucket: an address without a bucket has a full budget,
    // so a full bucket can be given to another address without changing anyone's budget.
    struct Bucket {
        uint64_t network;  // Peer::network_key() of the source
        uint32_t spent_units;
        uint32_t refilled_ms;
    };
    static constexpr int SETS = MISS_BUDGET_ADDRESSES / WAYS;
    static_assert(SETS >= 1 && (SETS & (SETS - 1)) == 0, "set count must be a power of two");

    Bucket* set_of(uint64_t network);
    Bucket* find(uint64_t network, uint32_t now_ms);
    Bucket& claim(uint64_t network, uint32_t now_ms);
    static void refill(Bucket& bucket, uint32_t now_ms);

    uint64_t multiplier_ = 0x9E3779B97F4A7C15ull;
    std::array<Bucket, MISS_BUDGET_ADDRESSES> buckets_{};
};

}  // namespace kiv
