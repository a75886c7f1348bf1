// --open-key with room-bound tokens: a token of version 2 opens its one id, a re-open of a
// free id needs that id's token, and an any-room token opens at most ROOMS_PER_TOKEN rooms,
// each at a drawn id.
#include <gtest/gtest.h>

#include "core_harness.hpp"
#include "wire/open_token.hpp"

namespace kiv {
namespace {

using test::Bytes;
using enum MsgType;
using enum ErrorCode;

constexpr uint32_t DRAWN = 0;  // an expected id: any but 70

TEST(RoomTokens, ABoundTokenOpensItsRoomOnlyAndAnyRoomTokensAreCapped) {
    if (!open_token_supported()) GTEST_SKIP() << "built without libsodium";
    test::CoreHarness core;
    OpenKey key;
    ASSERT_TRUE(key.set(Bytes(32, 0x5A).data(), 32));
    core.relay.open_gate().require(&key);
    core.relay.open_gate().set_wall_clock(1'800'000'000, core.now);
    auto bound = [&](uint32_t room) {
        uint8_t token[OPEN_TOKEN_ROOM_BYTES];
        key.mint_for_room(room, 1'800'003'600, token);
        return Bytes(token, token + sizeof token);
    };
    uint8_t any_bytes[OPEN_TOKEN_BYTES];
    key.mint(1'800'003'600, any_bytes);
    const Bytes room_70 = bound(70), room_71 = bound(71), any(any_bytes, any_bytes + 41);
    struct Step {
        const char* what;
        uint16_t host;  // a port of 192.0.2.7
        uint32_t asks;
        const Bytes& token;
        MsgType answer;
        uint32_t value;  // the id opened, or the error
    } steps[] = {
        {"its id, asked as 0", 1, 0, room_70, MSG_OPENED, 70},
        {"another id", 2, 71, room_70, MSG_ERROR, uint32_t(ERR_NOT_ALLOWED)},
        {"its id, taken", 2, 70, room_70, MSG_ERROR, uint32_t(ERR_NO_FREE_ROOM)},
        {"closed: another room's token", 2, 70, room_71, MSG_ERROR, uint32_t(ERR_NOT_ALLOWED)},
        {"closed: an any-room token", 2, 70, any, MSG_OPENED, DRAWN},
        {"closed: its own token", 1, 70, room_70, MSG_OPENED, 70},
        {"any-room, second", 3, 0, any, MSG_OPENED, DRAWN},
        {"any-room, third", 4, 0, any, MSG_OPENED, DRAWN},
        {"any-room, fourth", 5, 0, any, MSG_OPENED, DRAWN},
        {"any-room, fifth", 6, 0, any, MSG_ERROR, uint32_t(ERR_NO_FREE_ROOM)},
    };
    for (const Step& step : steps) {
        Peer host = Peer::ipv4(0xC0000207, step.host);
        if (step.what[0] == 'c' && core.relay.table().room_by_id(RoomId(70)) != nullptr)
            core.send(Peer::ipv4(0xC0000207, 1), MSG_CLOSE, 0);
        EXPECT_EQ(core.send(host, MSG_OPEN, step.asks, step.token), step.answer) << step.what;
        if (step.value == DRAWN) {
            EXPECT_NE(core.sent->value(), 70u) << step.what;
        } else {
            EXPECT_EQ(core.sent->value(), step.value) << step.what;
        }
    }
    std::vector<std::string> log = core.take_log();
    EXPECT_EQ(log[0], "room AAACF opened by 192.0.2.7:1");
    EXPECT_EQ(log[3], "room AAACF opened by 192.0.2.7:1 (re-opened)");
}

}  // namespace
}  // namespace kiv
