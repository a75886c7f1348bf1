// --validate-joins: a datagram that would join is answered with a challenge, and only the
// echo of its cookie from the same address and port joins.
#include <gtest/gtest.h>

#include "core_harness.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::Bytes;
using test::datagram;
using test::make_addr;
using enum MsgType;

Bytes cookie_bytes(uint32_t cookie) {
    Bytes bytes(JOIN_COOKIE_BYTES);
    store_le32(bytes.data(), cookie);
    return bytes;
}

struct ValidateJoins : ::testing::Test, test::CoreHarness {
    ValidateJoins() { relay.validate_joins(&key); }
    // Challenged, then echoes the cookie as `echo_from`: what the echo brings back.
    std::optional<MsgType> challenge_and_echo(const Peer& from, uint32_t room,
                                              const Peer& echo_from) {
        EXPECT_EQ(send(from, MSG_DATA, room, {1, 2, 3}), MSG_CHALLENGE);
        EXPECT_EQ(sent->bytes.size(), HEADER_SIZE);
        return send(echo_from, MSG_JOIN, room, cookie_bytes(sent->value()));
    }
    const JoinCookieKey key{{9}};
    const Peer host = make_addr("192.0.2.7", 40000);
    const Peer client = make_addr("198.51.100.1", 50000);
};

TEST_F(ValidateJoins, OnlyAnEchoFromTheChallengedAddressJoins) {
    if (!join_cookie_supported()) GTEST_SKIP() << "built without libsodium";
    uint32_t room = open_room(host, 70);
    take_log();
    // Challenged: nothing forwarded, logged or held. A forged echo and one from another
    // port are dropped; the right one joins without a forward.
    EXPECT_EQ(challenge_and_echo(client, room, make_addr("198.51.100.1", 50001)), std::nullopt);
    EXPECT_EQ(send(client, MSG_JOIN, room, cookie_bytes(0)), std::nullopt);
    EXPECT_EQ(relay.counters().joins_refused, 2u);
    EXPECT_EQ(lines(), 0u);
    EXPECT_EQ(challenge_and_echo(client, room, client), std::nullopt);
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "room AAACF: 198.51.100.1:50000 joined as tag 1 (1 client(s))"});
    // The member is never challenged again while it keeps talking; its data finds its slot.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(send(client, MSG_DATA, room, {7}), MSG_DATA);
        EXPECT_TRUE(sent->to == host);
        now += COOKIE_PERIOD_MS;
    }
    // A rebinding: the same client from a new port proves the new one.
    EXPECT_EQ(send(make_addr("198.51.100.1", 50002), MSG_DATA, room), MSG_CHALLENGE);
    EXPECT_EQ(relay.counters().challenges_sent, 3u);
    EXPECT_EQ(relay.counters().joins_validated, 1u);
}

TEST(ValidateJoinsOff, ChallengeAndJoinAreUnknownTypes) {
    test::CoreHarness core;
    Peer client = make_addr("198.51.100.1", 50000);
    uint32_t room = core.open_room(make_addr("192.0.2.7", 40000));
    EXPECT_EQ(core.send(client, MSG_JOIN, room, {0, 0, 0, 0}), std::nullopt);
    EXPECT_EQ(core.send(client, MSG_CHALLENGE, room), std::nullopt);
    EXPECT_EQ(core.relay.counters().dropped_unknown_type, 2u);
    EXPECT_EQ(core.send(client, MSG_DATA, room), MSG_DATA);
}

}  // namespace
}  // namespace kiv
