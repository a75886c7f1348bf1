// How many rooms each source may still look up by id from outside: a token bucket per
// source network. A room id is a rendezvous, and every answer to "is there a room with this
// id?" tells a scanner something, so outsiders get a few such answers in a burst and then a
// trickle, while peers already in a room never touch their bucket. The bucket holds
// REOPEN_LOOKUP_RESERVE more than the burst, which only opens may spend.
#pragma once

#include "relay/source_budget.hpp"

namespace kiv {

class MissBudgets : public SourceBudget {
  public:
    explicit MissBudgets(uint64_t hash_key)
        : SourceBudget(ROOM_MISS_BURST + REOPEN_LOOKUP_RESERVE, ROOM_MISS_PER_SECOND, hash_key) {}
};

}  // namespace kiv
