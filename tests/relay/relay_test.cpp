// The handlers and the sweep, driven with an injected clock and a scripted random source.
#include "relay/relay.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core_harness.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::Bytes;
using test::datagram;
using test::make_addr;
using test::Sent;

class RelayTest : public ::testing::Test, public test::CoreHarness {
  protected:
    RelayTest()
        : CoreHarness(test::ScriptedRandom({0, 69, 0, 99, 0, 199, 0, 299})) {
    }  // ids 70, 100, 200, 300

    const Peer host = make_addr("192.0.2.7", 40000);
    const Peer client = make_addr("198.51.100.1", 50000);
};

TEST_F(RelayTest, WireExampleFromOpenToForwardsBothWays) {
    std::optional<Sent> opened = deliver(host, datagram(MsgType::MSG_OPEN, 0));
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->to == host);
    const Bytes expected_opened = {0x4B, 0x49, 0x56, 0x52, 2, 1, 0, 0, 0x46, 0, 0, 0};
    EXPECT_EQ(opened->bytes, expected_opened);
    EXPECT_EQ(take_log(), std::vector<std::string>{"room AAACF opened by 192.0.2.7:40000"});

    std::optional<Sent> to_host = deliver(client, datagram(MsgType::MSG_DATA, 70, {0x61, 0x62}));
    ASSERT_TRUE(to_host);
    EXPECT_TRUE(to_host->to == host);
    const Bytes expected_to_host = {0x4B, 0x49, 0x56, 0x52, 3, 1, 0, 0, 1, 0, 0, 0, 0x61, 0x62};
    EXPECT_EQ(to_host->bytes, expected_to_host);
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "room AAACF: 198.51.100.1:50000 joined as tag 1 (1 client(s))"});

    std::optional<Sent> to_client = deliver(host, datagram(MsgType::MSG_DATA, 1, {0x63}));
    ASSERT_TRUE(to_client);
    EXPECT_TRUE(to_client->to == client);
    const Bytes expected_to_client = {0x4B, 0x49, 0x56, 0x52, 3, 1, 0, 0, 0, 0, 0, 0, 0x63};
    EXPECT_EQ(to_client->bytes, expected_to_client);

    // A second datagram from the same client keeps its tag and logs nothing.
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, 70)));
    EXPECT_TRUE(take_log().empty());
}

TEST_F(RelayTest, HeaderChecksComeInOrder) {
    Bytes short_ping = datagram(MsgType::MSG_PING, 1);
    short_ping.resize(11);
    EXPECT_FALSE(deliver(client, short_ping));

    Bytes bad_magic = datagram(MsgType::MSG_PING, 1);
    bad_magic[0] = 'k';
    EXPECT_FALSE(deliver(client, bad_magic));

    // The version test comes before the type test.
    Bytes version_two = datagram(MsgType::MSG_PING, 1);
    version_two[OFFSET_VERSION] = 2;
    version_two[OFFSET_TYPE] = 9;
    std::optional<Sent> error = deliver(client, version_two);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->bytes, test::error(ErrorCode::ERR_BAD_VERSION));

    for (uint8_t type : {0, 2, 6, 8, 9, 255}) {
        EXPECT_FALSE(deliver(client, datagram(MsgType(type), 1))) << "type " << int(type);
    }

    std::optional<Sent> pong = deliver(client, datagram(MsgType::MSG_PING, 0x01020304, {1, 2}));
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->bytes, datagram(MsgType::MSG_PONG, 0x01020304));
    EXPECT_TRUE(take_log().empty());
}

TEST_F(RelayTest, RepeatedOpenKeepsTheRoomAndReopenAfterClose) {
    EXPECT_EQ(open_room(host), 70u);
    take_log();
    now += 30000;
    EXPECT_EQ(open_room(host, 12345), 70u);  // whatever it asks for
    EXPECT_TRUE(take_log().empty());
    EXPECT_EQ(relay.table().room_by_host(host)->host_seen, now);

    EXPECT_FALSE(deliver(host, datagram(MsgType::MSG_CLOSE, 0)));
    EXPECT_EQ(take_log(),
              std::vector<std::string>{"room AAACF closed (host closed it), 0 client(s)"});
    EXPECT_EQ(open_room(host, 70), 70u);
    EXPECT_EQ(take_log(),
              std::vector<std::string>{"room AAACF opened by 192.0.2.7:40000 (re-opened)"});
}

TEST_F(RelayTest, OpenAskingForATakenOrInvalidIdGetsARandomOne) {
    EXPECT_EQ(open_room(host), 70u);
    const Peer other = make_addr("192.0.2.8", 40000);
    EXPECT_EQ(open_room(other, 70), 100u);
    EXPECT_EQ(open_room(make_addr("192.0.2.9", 1), MAX_ROOM_ID + 1), 200u);
    EXPECT_EQ(open_room(make_addr("192.0.2.9", 2), MAX_ROOM_ID), MAX_ROOM_ID);
    std::vector<std::string> log = take_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1], "room AAADD opened by 192.0.2.8:40000");
    EXPECT_EQ(log[3], "room 99999 opened by 192.0.2.9:2 (re-opened)");
}

TEST_F(RelayTest, ClientThatOpensLosesItsSlotSilently) {
    uint32_t room_a = open_room(host);
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room_a)));
    take_log();
    uint32_t room_b = open_room(client);
    EXPECT_NE(room_b, room_a);
    EXPECT_EQ(take_log().size(), 1u);  // only the open
    EXPECT_FALSE(deliver(host, datagram(MsgType::MSG_CLOSE, 0)));
    EXPECT_EQ(take_log(),
              std::vector<std::string>{"room AAACF closed (host closed it), 0 client(s)"});
    // A host sending MSG_LEAVE or MSG_CLOSE for someone else's room changes nothing.
    EXPECT_FALSE(deliver(host, datagram(MsgType::MSG_CLOSE, 0)));
    EXPECT_FALSE(deliver(client, datagram(MsgType::MSG_LEAVE, 0)));
    EXPECT_TRUE(take_log().empty());
    EXPECT_NE(relay.table().room_by_host(client), nullptr);
}

TEST_F(RelayTest, FullTableRefusesOpenButStillFreesTheClientSlot) {
    uint32_t first = open_room(host);
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, first)));
    std::vector<int> draws;
    for (int i = 0; i < 2 * MAX_ROOMS; ++i)
        draws.push_back(i);
    random = test::ScriptedRandom(draws);
    for (int i = 1; i < MAX_ROOMS; ++i)
        open_room(make_addr(("10.1.0." + std::to_string(i)).c_str(), 40000));
    take_log();

    std::optional<Sent> refused = deliver(client, datagram(MsgType::MSG_OPEN, 0));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->bytes, test::error(ErrorCode::ERR_NO_FREE_ROOM));
    Room* room = nullptr;
    EXPECT_EQ(relay.table().client_by_addr(client, &room), nullptr);
    EXPECT_TRUE(take_log().empty());
}

TEST_F(RelayTest, DataFromClientsJoinsRefusesAndMoves) {
    uint32_t room_a = open_room(host);
    const Peer host_b = make_addr("192.0.2.8", 40000);
    uint32_t room_b = open_room(host_b);
    take_log();

    EXPECT_EQ(deliver(client, datagram(MsgType::MSG_DATA, 0))->bytes,
              test::error(ErrorCode::ERR_NO_ROOM));
    EXPECT_EQ(deliver(client, datagram(MsgType::MSG_DATA, 4242))->bytes,
              test::error(ErrorCode::ERR_NO_ROOM));

    for (uint16_t i = 0; i < MAX_CLIENTS; ++i) {
        std::optional<Sent> forward = deliver(make_addr("203.0.113.1", uint16_t(1000 + i)),
                                              datagram(MsgType::MSG_DATA, room_a));
        ASSERT_TRUE(forward);
        EXPECT_EQ(header_value(forward->bytes.data()), i + 1u);
    }
    EXPECT_EQ(take_log().back(), "room AAACF: 203.0.113.1:1007 joined as tag 8 (8 client(s))");
    EXPECT_EQ(deliver(client, datagram(MsgType::MSG_DATA, room_a))->bytes,
              test::error(ErrorCode::ERR_ROOM_FULL));

    // A member of A that sends to B moves: no log for A, a join in B.
    Peer mover = make_addr("203.0.113.1", 1003);
    std::optional<Sent> to_b = deliver(mover, datagram(MsgType::MSG_DATA, room_b, {7}));
    ASSERT_TRUE(to_b);
    EXPECT_TRUE(to_b->to == host_b);
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "room AAADD: 203.0.113.1:1003 joined as tag 1 (1 client(s))"});
    EXPECT_EQ(client_count(*relay.table().room_by_id(RoomId(room_a))), MAX_CLIENTS - 1);
    // Its old slot is free again, so the waiting client gets in with the next tag.
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room_a)));
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "room AAACF: 198.51.100.1:50000 joined as tag 9 (8 client(s))"});
}

TEST_F(RelayTest, HostDataRefreshesTheRoomEvenWhenDropped) {
    uint32_t room = open_room(host);
    now += 1000;
    Bytes with_reserved = datagram(MsgType::MSG_DATA, 0, {1});
    EXPECT_FALSE(deliver(host, with_reserved));
    EXPECT_FALSE(deliver(host, datagram(MsgType::MSG_DATA, 5)));
    EXPECT_EQ(relay.table().room_by_id(RoomId(room))->host_seen, now);

    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room)));
    uint32_t joined_at = now;
    now += 1000;
    Bytes to_tag = datagram(MsgType::MSG_DATA, 1, {9, 9});
    to_tag[OFFSET_RESERVED] = 0xAA;
    to_tag[OFFSET_RESERVED + 1] = 0xBB;
    std::optional<Sent> forward = deliver(host, to_tag);
    ASSERT_TRUE(forward);
    EXPECT_EQ(forward->bytes, datagram(MsgType::MSG_DATA, 0, {9, 9}));  // reserved zeroed
    Room* holder = nullptr;
    EXPECT_EQ(relay.table().client_by_addr(client, &holder)->seen, joined_at);
}

TEST_F(RelayTest, LeaveAndRejoinGetsTheNextTag) {
    uint32_t room = open_room(host);
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room)));
    take_log();
    EXPECT_FALSE(deliver(client, datagram(MsgType::MSG_LEAVE, 0)));
    EXPECT_EQ(take_log(), std::vector<std::string>{"room AAACF: tag 1 left"});
    EXPECT_FALSE(deliver(client, datagram(MsgType::MSG_LEAVE, 0)));
    EXPECT_TRUE(take_log().empty());
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room)));
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "room AAACF: 198.51.100.1:50000 joined as tag 2 (1 client(s))"});
}

TEST_F(RelayTest, OversizedDataIsDroppedWholeOtherTypesAreHandled) {
    uint32_t room = open_room(host);
    take_log();
    Bytes payload(MAX_DATAGRAM - HEADER_SIZE, 0x5A);
    EXPECT_FALSE(deliver(client, datagram(MsgType::MSG_DATA, room, payload), MAX_DATAGRAM + 1));
    EXPECT_TRUE(take_log().empty());  // no join
    Room* holder = nullptr;
    EXPECT_EQ(relay.table().client_by_addr(client, &holder), nullptr);

    std::optional<Sent> whole = deliver(client, datagram(MsgType::MSG_DATA, room, payload));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->bytes.size(), MAX_DATAGRAM);
    take_log();

    // A host's oversized datagram is dropped before it refreshes the room.
    uint32_t opened_at = now;
    now += 500;
    EXPECT_FALSE(deliver(host, datagram(MsgType::MSG_DATA, 1, payload), 65507));
    EXPECT_EQ(relay.table().room_by_id(RoomId(room))->host_seen, opened_at);

    std::optional<Sent> pong = deliver(client, datagram(MsgType::MSG_PING, 3), 65507);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->bytes.size(), HEADER_SIZE);
}

TEST_F(RelayTest, SweepForgetsSilenceLongerThanAMinute) {
    uint32_t room = open_room(host);
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room)));
    const Peer talker = make_addr("198.51.100.2", 50000);
    now += 30000;
    ASSERT_TRUE(deliver(talker, datagram(MsgType::MSG_DATA, room)));
    take_log();

    // The host pings and sends to the silent client's tag; neither keeps the client alive.
    now = 5000 + TIMEOUT_MS;
    deliver(host, datagram(MsgType::MSG_PING, 0));
    deliver(host, datagram(MsgType::MSG_DATA, 1));
    relay.sweep(now);
    EXPECT_TRUE(take_log().empty());  // exactly 60000 ms is tolerated
    relay.sweep(now + 1);
    EXPECT_EQ(take_log(), std::vector<std::string>{"room AAACF: tag 1 timed out"});

    // The client that timed out comes back with a new tag.
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room)));
    EXPECT_EQ(take_log(), std::vector<std::string>{
                              "room AAACF: 198.51.100.1:50000 joined as tag 3 (2 client(s))"});

    // Everyone falls silent: one close line with the count, no per-client lines.
    now += TIMEOUT_MS + 1;
    relay.sweep(now);
    EXPECT_EQ(take_log(), std::vector<std::string>{"room AAACF closed (host silent), 2 client(s)"});
    EXPECT_EQ(relay.table().room_by_id(RoomId(room)), nullptr);
}

TEST_F(RelayTest, SweepIsRightAcrossTheClockWrap) {
    now = 0xFFFFFFFFu - 10000;
    uint32_t room = open_room(host);
    ASSERT_TRUE(deliver(client, datagram(MsgType::MSG_DATA, room)));
    take_log();
    now += 20000;  // wraps past zero
    deliver(host, datagram(MsgType::MSG_OPEN, 0));
    relay.sweep(now);
    EXPECT_TRUE(take_log().empty());
    relay.sweep(0xFFFFFFFFu - 10000 + TIMEOUT_MS);
    EXPECT_TRUE(take_log().empty());
    relay.sweep(0xFFFFFFFFu - 10000 + TIMEOUT_MS + 1);
    EXPECT_EQ(take_log(), std::vector<std::string>{"room AAACF: tag 1 timed out"});
    EXPECT_NE(relay.table().room_by_id(RoomId(room)), nullptr);
}

TEST_F(RelayTest, ClosingARoomCountsItsClients) {
    uint32_t room = open_room(host);
    for (uint16_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(deliver(make_addr("203.0.113.9", uint16_t(7000 + i)),
                            datagram(MsgType::MSG_DATA, room)));
    }
    take_log();
    EXPECT_FALSE(deliver(host, datagram(MsgType::MSG_CLOSE, 0)));
    EXPECT_EQ(take_log(),
              std::vector<std::string>{"room AAACF closed (host closed it), 3 client(s)"});
    EXPECT_EQ(deliver(make_addr("203.0.113.9", 7000), datagram(MsgType::MSG_DATA, room))->bytes,
              test::error(ErrorCode::ERR_NO_ROOM));
}

}  // namespace
}  // namespace kiv
