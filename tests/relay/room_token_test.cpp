// --open-key: a room's token opens its id only, only it re-opens a free id, and an any-room
// token gets drawn ids, ROOMS_PER_TOKEN rooms at most.
#include <gtest/gtest.h>

#include "core_harness.hpp"

namespace kiv {
namespace {

using test::Bytes;
using enum MsgType;

TEST(RoomTokens, ABoundTokenOpensItsRoomOnlyAndAnyRoomTokensAreCapped) {
    if (!open_token_supported()) GTEST_SKIP() << "built without libsodium";
    test::CoreHarness core;
    OpenKey key;
    ASSERT_TRUE(key.set(Bytes(32, 0x5A).data(), 32));
    core.relay.open_gate().require(&key);
    core.relay.open_gate().set_wall_clock(1'800'000'000, core.now);
    uint8_t t70[OPEN_TOKEN_ROOM_BYTES], t71[OPEN_TOKEN_ROOM_BYTES], any[OPEN_TOKEN_BYTES];
    key.mint_for_room(70, 1'800'003'600, t70);
    key.mint_for_room(71, 1'800'003'600, t71);
    key.mint(1'800'003'600, any);
    const Bytes room_70(t70, t70 + 45), room_71(t71, t71 + 45), any_room(any, any + 41);
    // Host port, id asked, token, answer: the id opened (0: one drawn, not 70) or -error.
    const struct {
        uint16_t port;
        uint32_t asks;
        const Bytes& token;
        int answer;
    } steps[] = {{1, 0, room_70, 70},  {2, 71, room_70, -5}, {2, 70, room_70, -3},
                 {2, 70, room_71, -5}, {2, 70, any_room, 0}, {1, 70, room_70, 70},  // after a close
                 {3, 0, any_room, 0},  {4, 0, any_room, 0},  {5, 0, any_room, 0},
                 {6, 0, any_room, -3}};
    for (const auto& step : steps) {
        if (&step == &steps[3]) core.send(Peer::ipv4(0xC0000207, 1), MSG_CLOSE, 0);
        core.send(Peer::ipv4(0xC0000207, step.port), MSG_OPEN, step.asks, step.token);
        int got =
            core.sent->type() == MSG_ERROR ? -int(core.sent->value()) : int(core.sent->value());
        EXPECT_EQ(step.answer == 0 ? got > 0 && got != 70 : got == step.answer, true)
            << &step - steps;
    }
    EXPECT_EQ(core.take_log()[3], "room AAACF opened by 192.0.2.7:1 (re-opened)");
}

}  // namespace
}  // namespace kiv
