// The join cookie: good only for the address, port and room it was made for, in its period
// and the next.
#include "relay/join_cookie.hpp"

#include <gtest/gtest.h>

#include "ipv4.hpp"

namespace kiv {
namespace {

using test::make_addr;

TEST(JoinCookie, GoodOnlyForItsAddressPortRoomAndTwoPeriods) {
    if (!join_cookie_supported()) GTEST_SKIP() << "built without libsodium";
    const JoinCookieKey key{{1, 2, 3}}, other_key{{1, 2, 4}};
    const Peer source = make_addr("198.51.100.1", 50000);
    const RoomId room(70);
    const uint32_t made_ms = 10 * COOKIE_PERIOD_MS + 5;
    const uint32_t cookie = join_cookie(key, source, room, made_ms);
    struct Case {
        const char* what;
        const JoinCookieKey& key;
        Peer source;
        RoomId room;
        uint32_t now_ms;
        uint32_t cookie;
        bool good;
    } cases[] = {
        {"good", key, source, room, made_ms, cookie, true},
        {"forged", key, source, room, made_ms, cookie ^ 1, false},
        {"other key", other_key, source, room, made_ms, cookie, false},
        {"same peer, mapped", key, test::mapped(source), room, made_ms, cookie, true},
        {"other address", key, make_addr("198.51.100.2", 50000), room, made_ms, cookie, false},
        {"other port", key, make_addr("198.51.100.1", 50001), room, made_ms, cookie, false},
        {"other room", key, source, RoomId(71), made_ms, cookie, false},
        {"previous key", key, source, room, made_ms + COOKIE_PERIOD_MS, cookie, true},
        {"two periods old", key, source, room, made_ms + 2 * COOKIE_PERIOD_MS, cookie, false},
        {"from the future", key, source, room, made_ms - COOKIE_PERIOD_MS, cookie, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(join_cookie_good(c.key, c.source, c.room, c.now_ms, c.cookie), c.good) << c.what;
    // Across the wrap of the millisecond clock, the last period before it is the one before.
    uint32_t last = join_cookie(key, source, room, UINT32_MAX);
    EXPECT_TRUE(join_cookie_good(key, source, room, 0, last));
}

}  // namespace
}  // namespace kiv
