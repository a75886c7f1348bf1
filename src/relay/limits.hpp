// The relay's limits on what sources may make it do, in one place: the per-source budgets
// (room lookups, events), the relay-wide ceilings (log lines, lookups answered) and which of
// them are on. Each check counts what it refuses, by reason, so the metrics page shows who
// is being held back and why.
#pragma once

#include <cstdint>

#include "relay/counters.hpp"
#include "relay/event_budget.hpp"
#include "relay/miss_budget.hpp"
#include "relay/rate_ceiling.hpp"

namespace kiv {

struct LimitSwitches {
    bool per_address = true;     // room lookups and rooms hosted per source
    bool events = true;          // events per source
    bool log_ceiling = true;     // log lines per second, relay-wide
    bool lookup_ceiling = true;  // lookups answered per second, relay-wide

    // --limits off: for a lab or a private network, never for a public port.
    static constexpr LimitSwitches off() { return {false, false, false, false}; }
    // The limits per address alone, without the event budget and the ceilings.
    static constexpr LimitSwitches per_address_only() { return {true, false, false, false}; }
};

class Limits {
  public:
    Limits(uint64_t hash_key, Counters& counters)
        : lookups_(hash_key ^ 0xD6E8FEB86659FD93ull),
          events_(hash_key ^ 0x8CB92BA72F3D8DD7ull),
          counters_(counters) {}

    void set(LimitSwitches switches) { switches_ = switches; }
    const LimitSwitches& switches() const { return switches_; }

    // Whether `source` (a network key) may look a room up from outside it now; counted
    // when not. Joins and unknown ids leave the re-open reserve alone; opens that ask for an
    // id may spend it.
    bool lookup_allowed(uint64_t source, uint32_t now_ms) {
        return lookup_allowed(source, now_ms, REOPEN_LOOKUP_RESERVE);
    }
    bool open_lookup_allowed(uint64_t source, uint32_t now_ms) {
        return lookup_allowed(source, now_ms, 0);
    }
    void lookup_spend(uint64_t source, uint32_t now_ms) {
        if (switches_.per_address) lookups_.spend(source, now_ms);
    }
    // Whether a lookup may be answered now, relay-wide; takes one answer when it may.
    bool lookup_answer_allowed(uint32_t now_ms) {
        if (!switches_.lookup_ceiling || lookup_answers_.take(now_ms)) return true;
        return refuse(counters_.throttled_lookup_ceiling);
    }
    bool rooms_capped(int rooms_hosted) const {
        return switches_.per_address && rooms_hosted >= ROOMS_PER_ADDRESS;
    }

    bool event_allowed(uint64_t source, uint32_t now_ms) {
        if (!switches_.events || !events_.exhausted(source, now_ms)) return true;
        return refuse(counters_.throttled_events);
    }
    void event_spend(uint64_t source, uint32_t now_ms) {
        if (switches_.events) events_.spend(source, now_ms);
    }

    // Whether one more log line may be written now; a line that may not is counted, and
    // take_suppressed() hands the count over once.
    bool log_line_allowed(uint32_t now_ms) {
        if (!switches_.log_ceiling || log_lines_.take(now_ms)) return true;
        ++suppressed_unreported_;
        ++counters_.log_lines_suppressed;
        return false;
    }
    uint64_t take_suppressed() {
        uint64_t count = suppressed_unreported_;
        suppressed_unreported_ = 0;
        return count;
    }

  private:
    friend struct SnapshotAccess;  // snapshot.cpp
    bool lookup_allowed(uint64_t source, uint32_t now_ms, uint32_t kept_back) {
        if (!switches_.per_address || !lookups_.exhausted(source, now_ms, kept_back)) return true;
        return refuse(counters_.throttled_lookups);
    }
    bool refuse(uint64_t& reason) {
        ++reason;
        ++counters_.dropped_throttled;
        return false;
    }

    LimitSwitches switches_;
    MissBudgets lookups_;
    EventBudgets events_;
    RateCeiling log_lines_{LOG_LINES_BURST, LOG_LINES_PER_SECOND};
    RateCeiling lookup_answers_{LOOKUPS_BURST, LOOKUPS_PER_SECOND};
    uint64_t suppressed_unreported_ = 0;
    Counters& counters_;
};

}  // namespace kiv
