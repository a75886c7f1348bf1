// --reflect on the core: who is told what, and that the answers are paid for.
#include <gtest/gtest.h>

#include "core_harness.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::Bytes;
using test::make_addr;

Bytes request(size_t length) {
    Bytes bytes = test::header(MsgType::MSG_REFLECT, 0);
    bytes.resize(length);
    return bytes;
}

TEST(Reflect, AnswersTheAskerWithItsOwnAddressOnly) {
    const Bytes v4_answer = {0x4B, 0x49, 0x56, 0x52, 0x0C, 0x01, 0x00, 0x00, 0x40, 0x9C,
                             0x00, 0x00, 0,    0,    0,    0,    0,    0,    0,    0,
                             0,    0,    0xFF, 0xFF, 0xC0, 0x00, 0x02, 0x07};
    const Bytes v6_answer = {0x4B, 0x49, 0x56, 0x52, 0x0C, 0x01, 0x00, 0x00, 0xBB, 0x01,
                             0x00, 0x00, 0x20, 0x01, 0x0D, 0xB8, 0,    0,    0,    0,
                             0,    0,    0,    0,    0,    0,    0,    0x07};
    const Peer v4 = make_addr("192.0.2.7", 40000);
    struct Case {
        const char* name;
        bool reflect;
        Peer from;
        size_t length;
        Bytes answer;  // empty: none
    };
    const Case cases[] = {
        {"without --reflect, an unknown type", false, v4, 64, {}},
        {"one byte short of the answer", true, v4, REFLECT_SIZE - 1, {}},
        {"IPv4, as ::ffff:a.b.c.d", true, v4, REFLECT_SIZE, v4_answer},
        {"IPv4 on a dual-stack socket", true, test::mapped(v4), 200, v4_answer},
        {"IPv6", true, make_addr("2001:db8::7", 443), REFLECT_SIZE, v6_answer},
    };
    for (const Case& c : cases) {
        test::CoreHarness core;
        core.relay.set_reflect(c.reflect);
        core.deliver(c.from, request(c.length));
        ASSERT_EQ(core.sent.has_value(), !c.answer.empty()) << c.name;
        if (!core.sent) continue;
        EXPECT_EQ(core.sent->bytes, c.answer) << c.name;
        EXPECT_EQ(core.sent->to, c.from) << c.name;
        EXPECT_EQ(core.relay.counters().reflections_sent, 1u) << c.name;
    }
}

TEST(Reflect, CountsWhatItDrops) {
    test::CoreHarness core;
    core.deliver(make_addr("192.0.2.7", 1), request(REFLECT_SIZE));
    EXPECT_EQ(core.relay.counters().dropped_unknown_type, 1u);
    core.relay.set_reflect(true);
    core.deliver(make_addr("192.0.2.7", 1), request(REFLECT_SIZE - 1));
    EXPECT_EQ(core.relay.counters().reflect_short, 1u);
    EXPECT_EQ(core.relay.counters().reflections_sent, 0u);
}

TEST(Reflect, SpendsTheSourcesLookupBudget) {
    test::CoreHarness core;
    core.relay.set_reflect(true);
    const Peer asker = make_addr("198.51.100.4", 5000);
    for (uint32_t i = 0; i < ROOM_MISS_BURST; ++i)
        ASSERT_TRUE(core.deliver(asker, request(REFLECT_SIZE))) << i;
    EXPECT_FALSE(core.deliver(asker, request(REFLECT_SIZE)));
    EXPECT_EQ(core.relay.counters().throttled_lookups, 1u);
    // A join from the same address now meets the same empty budget.
    EXPECT_EQ(core.send(make_addr("198.51.100.4", 5001), MsgType::MSG_DATA, 77), std::nullopt);
    core.now += 1000;
    EXPECT_TRUE(core.deliver(asker, request(REFLECT_SIZE)));
}

}  // namespace
}  // namespace kiv
