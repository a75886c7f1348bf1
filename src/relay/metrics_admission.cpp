#include "relay/metrics_admission.hpp"

namespace kiv {
namespace {

int held_by(const MetricsSlot* slots, int count, uint64_t source) {
    int held = 0;
    for (int i = 0; i < count; ++i)
        held += slots[i].in_use && slots[i].source == source;
    return held;
}

}  // namespace

MetricsAdmission metrics_admit(const MetricsSlot* slots, int count, uint64_t source,
                               uint32_t now_ms) {
    int held = held_by(slots, count, source);
    if (held >= METRICS_PER_SOURCE) return {MetricsAdmission::Kind::refuse, -1};
    for (int i = 0; i < count; ++i) {
        if (!slots[i].in_use) return {MetricsAdmission::Kind::take_free, i};
    }
    int victim = -1;
    int victim_held = held;  // only an address holding more than the newcomer gives way
    uint32_t victim_age = 0;
    for (int i = 0; i < count; ++i) {
        if (!slots[i].waiting_for_request) continue;
        int other_held = held_by(slots, count, slots[i].source);
        uint32_t age = now_ms - slots[i].opened_ms;
        if (other_held > victim_held ||
            (other_held == victim_held && victim >= 0 && age > victim_age)) {
            victim = i;
            victim_held = other_held;
            victim_age = age;
        }
    }
    if (victim < 0) return {MetricsAdmission::Kind::refuse, -1};
    return {MetricsAdmission::Kind::replace, victim};
}

}  // namespace kiv
