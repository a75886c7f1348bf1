// --reflect on the core: who is told what, and that the answers are paid for.
#include <gtest/gtest.h>

#include "core_harness.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::make_addr;

test::Bytes request(size_t length) {
    test::Bytes bytes = test::header(MsgType::MSG_REFLECT, 0);
    bytes.resize(length);
    return bytes;
}

TEST(Reflect, AnswersTheAskerWithItsOwnAddressOnly) {
    const Peer v4 = make_addr("192.0.2.7", 40000), v6 = make_addr("2001:db8::7", 443);
    const test::Bytes v4_answer = {'K', 'I', 'V', 'R', 12, 1, 0, 0, 0x40, 0x9C, 0,   0, 0, 0,
                                   0,   0,   0,   0,   0,  0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7};
    struct Case {
        const char* name;
        bool reflect;
        Peer from;
        size_t length;
        bool answered;
        uint64_t Counters::*counted;
    };
    const Case cases[] = {
        {"without --reflect", false, v4, 64, false, &Counters::dropped_unknown_type},
        {"one byte short", true, v4, REFLECT_SIZE - 1, false, &Counters::reflect_short},
        {"IPv4", true, v4, REFLECT_SIZE, true, &Counters::reflections_sent},
        {"IPv4 on a dual-stack socket", true, test::mapped(v4), 200, true,
         &Counters::reflections_sent},
        {"IPv6", true, v6, REFLECT_SIZE, true, &Counters::reflections_sent},
    };
    for (const Case& c : cases) {
        test::CoreHarness core;
        core.relay.set_reflect(c.reflect);
        core.deliver(c.from, request(c.length));
        EXPECT_EQ(core.relay.counters().*c.counted, 1u) << c.name;
        ASSERT_EQ(core.sent.has_value(), c.answered) << c.name;
        if (!c.answered) continue;
        EXPECT_EQ(core.sent->to, c.from) << c.name;
        EXPECT_EQ(Peer::from_address16(&core.sent->bytes[12], uint16_t(core.sent->value())),
                  c.from);
        EXPECT_TRUE(!c.from.is_ipv4() || core.sent->bytes == v4_answer) << c.name;
    }
}

TEST(Reflect, SpendsTheSourcesLookupBudget) {
    test::CoreHarness core;
    core.relay.set_reflect(true);
    for (uint32_t i = 0; i <= ROOM_MISS_BURST; ++i)
        EXPECT_EQ(bool(core.deliver(make_addr("198.51.100.4", 5000), request(REFLECT_SIZE))),
                  i < ROOM_MISS_BURST);
    EXPECT_EQ(core.relay.counters().throttled_lookups, 1u);
}

}  // namespace
}  // namespace kiv
