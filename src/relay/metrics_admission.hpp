// Who gets a connection to the metrics page when it is asked for: a fixed set of
// connections shared among source addresses so that no address can take them all. An
// address may hold METRICS_PER_SOURCE connections at most; when every connection is taken,
// a newcomer takes the place of the oldest connection still waiting for its request from
// the address that holds the most, if that address holds more than the newcomer's. A
// scraper that asks at once is therefore always served while others hold connections open
// without asking.
#pragma once

#include <cstdint>

namespace kiv {

inline constexpr int METRICS_PER_SOURCE = 2;
// A request not in full within this long after its connection was accepted is closed.
inline constexpr uint32_t METRICS_REQUEST_MS = 500;

struct MetricsSlot {
    bool in_use;
    bool waiting_for_request;  // accepted, its request not yet in full
    uint64_t source;           // the peer's network key
    uint32_t opened_ms;
};

struct MetricsAdmission {
    enum class Kind : uint8_t { refuse, take_free, replace };
    Kind kind;
    int slot;  // for take_free and replace
};

MetricsAdmission metrics_admit(const MetricsSlot* slots, int count, uint64_t source,
                               uint32_t now_ms);

}  // namespace kiv
