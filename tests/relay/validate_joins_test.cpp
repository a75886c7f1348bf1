// --validate-joins: the cookie, and a join only by the echo of a challenge sent to the joiner.
#include <gtest/gtest.h>

#include "core_harness.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::make_addr;
using enum MsgType;

TEST(JoinCookie, GoodOnlyForItsAddressPortRoomAndTwoPeriods) {
    if (!join_cookie_supported()) GTEST_SKIP() << "built without libsodium";
    const JoinCookieKey key{{1}};
    const Peer from = make_addr("198.51.100.1", 50000);
    const uint32_t at = 10 * COOKIE_PERIOD_MS + 5, cookie = join_cookie(key, from, RoomId(70), at);
    const struct {
        Peer from;
        uint32_t room, now, cookie;
        bool good;
    } cases[] = {{from, 70, at, cookie, true},
                 {test::mapped(from), 70, at, cookie, true},
                 {from, 70, at, cookie ^ 1, false},
                 {make_addr("198.51.100.2", 50000), 70, at, cookie, false},
                 {make_addr("198.51.100.1", 50001), 70, at, cookie, false},
                 {from, 71, at, cookie, false},
                 {from, 70, at + COOKIE_PERIOD_MS, cookie, true},  // the previous period's key
                 {from, 70, at + 2 * COOKIE_PERIOD_MS, cookie, false}};
    for (const auto& c : cases)
        EXPECT_EQ(join_cookie_good(key, c.from, RoomId(c.room), c.now, c.cookie), c.good)
            << &c - cases;
    EXPECT_FALSE(join_cookie_good(JoinCookieKey{{2}}, from, RoomId(70), at, cookie));
    // Across the wrap of the millisecond clock, the last period before it is the one before 0.
    EXPECT_TRUE(
        join_cookie_good(key, from, RoomId(70), 0, join_cookie(key, from, RoomId(70), ~0u)));
}

TEST(ValidateJoins, OnlyAnEchoFromTheChallengedAddressJoinsAndMembersAreNotChallenged) {
    if (!join_cookie_supported()) GTEST_SKIP() << "built without libsodium";
    test::CoreHarness core;
    const JoinCookieKey key{{9}};
    const Peer client = make_addr("198.51.100.1", 2);
    uint32_t room = core.open_room(make_addr("192.0.2.7", 1), 70);
    core.relay.validate_joins(&key);
    ASSERT_EQ(core.send(client, MSG_DATA, room, {1, 2}), MSG_CHALLENGE);
    test::Bytes echo(4);
    store_le32(echo.data(), core.sent->value());
    EXPECT_EQ(core.send(make_addr("198.51.100.1", 3), MSG_JOIN, room, echo), std::nullopt);
    EXPECT_EQ(core.lines(), 1u);  // the open's: the echo from another port joined nobody
    EXPECT_EQ(core.send(client, MSG_JOIN, room, echo), std::nullopt);  // joins, forwards nothing
    EXPECT_EQ(core.take_log().back(), "room AAACF: 198.51.100.1:2 joined as tag 1 (1 client(s))");
    for (int period = 0; period < 3; ++period, core.now += COOKIE_PERIOD_MS)
        ASSERT_EQ(core.send(client, MSG_DATA, room, {1, 2}), MSG_DATA);
    EXPECT_EQ(core.send(make_addr("198.51.100.1", 4), MSG_DATA, room), MSG_CHALLENGE);  // rebound
    EXPECT_EQ(core.relay.counters().joins_refused, 1u);
}

}  // namespace
}  // namespace kiv
