// A relay-wide ceiling: one token bucket for everyone, for what must stay bounded however
// many sources an attacker has (log lines written, lookups answered).
#pragma once

#include <cstdint>

namespace kiv {

class RateCeiling {
  public:
    RateCeiling(uint32_t burst, uint32_t per_second)
        : full_units_(uint64_t(burst) * 1000), per_second_(per_second), units_(full_units_) {}

    // Takes one if there is one left at now_ms.
    bool take(uint32_t now_ms) {
        uint64_t gained = uint64_t(uint32_t(now_ms - refilled_ms_)) * per_second_;
        refilled_ms_ = now_ms;
        units_ = full_units_ - units_ <= gained ? full_units_ : units_ + gained;
        if (units_ < 1000) return false;
        units_ -= 1000;
        return true;
    }

  private:
    friend struct SnapshotAccess;  // snapshot.cpp
    uint64_t full_units_;
    uint64_t per_second_;
    uint64_t units_;
    uint32_t refilled_ms_ = 0;
};

}  // namespace kiv
