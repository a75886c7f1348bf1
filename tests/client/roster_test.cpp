// The host's view of its clients: when a tag counts as gone, and what happens when more tags
// come and go within one time-out than the roster holds.
#include <gtest/gtest.h>

#include "client/roster.hpp"

namespace kiv::client {
namespace {

constexpr uint64_t T0 = 1'000'000'000;

TEST(Roster, ATagIsGoneOnceSilentForLongerThanTheRelayKeepsIt) {
    Roster roster;
    EXPECT_EQ(roster.next_expiry_us(), UINT64_MAX);
    ASSERT_TRUE(roster.add(Tag(3), T0));
    ASSERT_TRUE(roster.add(Tag(4), T0 + 10));
    roster.heard(Tag(3), T0 + 20);
    EXPECT_TRUE(roster.knows(Tag(3)));
    EXPECT_FALSE(roster.knows(Tag(5)));
    EXPECT_EQ(roster.next_expiry_us(), T0 + 10 + Roster::SILENCE_US + 1);

    EXPECT_EQ(roster.expire(T0 + 10 + Roster::SILENCE_US), Tag());
    EXPECT_EQ(roster.expire(T0 + 10 + Roster::SILENCE_US + 1), Tag(4));
    EXPECT_EQ(roster.expire(T0 + 20 + Roster::SILENCE_US), Tag());
    EXPECT_EQ(roster.expire(T0 + 20 + Roster::SILENCE_US + 1), Tag(3));
    EXPECT_EQ(roster.expire(UINT64_MAX), Tag());
    EXPECT_FALSE(roster.knows(Tag(3)));
    // A time earlier than a tag was heard (a caller's clock is its own) never expires it.
    ASSERT_TRUE(roster.add(Tag(6), T0));
    EXPECT_EQ(roster.expire(T0 - 1), Tag());
    EXPECT_TRUE(roster.knows(Tag(6)));
}

TEST(Roster, AFullRosterLetsTheLongestSilentGoFirst) {
    Roster roster;
    for (uint32_t tag = 1; tag <= Roster::CAPACITY; ++tag) {
        ASSERT_TRUE(roster.add(Tag(tag), T0 + tag));
    }
    roster.heard(Tag(1), T0 + 1000);
    EXPECT_FALSE(roster.add(Tag(1000), T0 + 1000));
    EXPECT_EQ(roster.oldest(), Tag(2));
    roster.remove(Tag(2));
    EXPECT_TRUE(roster.add(Tag(1000), T0 + 1000));
    EXPECT_TRUE(roster.knows(Tag(1000)));
    EXPECT_FALSE(roster.knows(Tag(2)));
    // Tags outside the wire's range are never taken in.
    roster.clear();
    EXPECT_FALSE(roster.add(Tag(0), T0));
    EXPECT_FALSE(roster.add(Tag(MAX_TAG + 1), T0));
    EXPECT_EQ(roster.oldest(), Tag());
}

}  // namespace
}  // namespace kiv::client
