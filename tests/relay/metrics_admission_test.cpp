// Who gets a metrics connection when one is asked for: the cap per address, free places
// first, and which connection gives way when none is free.
#include <gtest/gtest.h>

#include <vector>

#include "relay/metrics_admission.hpp"

namespace kiv {
namespace {

using Kind = MetricsAdmission::Kind;
constexpr uint32_t NOW = 10000;

MetricsSlot waiting(uint64_t source, uint32_t opened_ms) {
    return {true, true, source, opened_ms};
}
MetricsSlot answering(uint64_t source) {
    return {true, false, source, NOW};
}

struct Case {
    const char* what;
    std::vector<MetricsSlot> slots;
    uint64_t newcomer;
    Kind kind;
    int slot;
};

TEST(MetricsAdmission, SharesThePlacesAmongAddresses) {
    const MetricsSlot free_place{false, false, 0, 0};
    const std::vector<Case> cases = {
        {"a free place is taken", {answering(1), free_place}, 2, Kind::take_free, 1},
        {"an address holds two at most",
         {waiting(1, NOW), waiting(1, NOW), free_place},
         1,
         Kind::refuse,
         -1},
        {"the oldest waiting one of the address holding most gives way",
         {waiting(1, NOW - 5), waiting(2, NOW - 9), waiting(2, NOW - 7), waiting(3, NOW - 1)},
         4,
         Kind::replace,
         1},
        {"connections being answered never give way",
         {answering(1), answering(1), answering(2), answering(2)},
         3,
         Kind::refuse,
         -1},
        {"an address gives way only to one holding fewer",
         {waiting(1, NOW - 9), waiting(2, NOW), waiting(2, NOW), waiting(3, NOW)},
         1,
         Kind::replace,
         1},
        {"equal holdings: nobody gives way to a second connection",
         {waiting(1, NOW), waiting(2, NOW), waiting(3, NOW), waiting(4, NOW)},
         4,
         Kind::refuse,
         -1},
        {"equal holdings of one: the oldest gives way to a newcomer",
         {waiting(1, NOW - 1), waiting(2, NOW - 8), waiting(3, NOW - 3)},
         4,
         Kind::replace,
         1},
    };
    for (const Case& c : cases) {
        MetricsAdmission got = metrics_admit(c.slots.data(), int(c.slots.size()), c.newcomer, NOW);
        EXPECT_EQ(got.kind, c.kind) << c.what;
        EXPECT_EQ(got.slot, c.slot) << c.what;
    }
}

}  // namespace
}  // namespace kiv
