// The wire as peers see it from outside the real binary: byte images of replies and
// forwards, and what the internet may send the relay's port: datagrams of every awkward
// length, a wrong magic, every version with every type, reserved bytes set. The relay
// answers only what the protocol says it answers, drops the rest without a trace, and keeps
// serving.
#include "e2e_steps.hpp"

namespace kiv::test {
namespace {

TEST(EndToEnd, PingIsAnsweredWithPong) {
    RelayProcess relay;
    Peer peer;
    peer.send_to(relay.port(), hex("4B 49 56 52 07 01 00 00 04 03 02 01"));
    EXPECT_EQ(receive_hex(peer), "4B 49 56 52 08 01 00 00 04 03 02 01");
}

TEST(EndToEnd, ByteImagesOfOpenDataAndForwards) {
    RelayProcess relay;
    Peer host, client, other_host;

    // The host asks for id 70; the table is empty, so it gets it back.
    host.send_to(relay.port(), hex("4B 49 56 52 01 01 00 00 46 00 00 00"));
    EXPECT_EQ(receive_hex(host), "4B 49 56 52 02 01 00 00 46 00 00 00");
    EXPECT_EQ(next_message(relay), "room AAACF opened by " + addr_of(host) + " (re-opened)");

    // Asking for any id gives a random one, never 70 while that room is open.
    other_host.send_to(relay.port(), hex("4B 49 56 52 01 01 00 00 00 00 00 00"));
    std::optional<Bytes> opened = other_host.receive();
    ASSERT_TRUE(opened);
    ASSERT_EQ(opened->size(), 12u);
    EXPECT_EQ(to_hex(Bytes(opened->begin(), opened->begin() + 8)), "4B 49 56 52 02 01 00 00");
    uint32_t random_id = value_of(*opened);
    EXPECT_NE(random_id, 70u);
    EXPECT_GE(random_id, 1u);
    EXPECT_LE(random_id, MAX_ROOM_ID);
    EXPECT_EQ(next_message(relay),
              "room " + code_of(random_id) + " opened by " + addr_of(other_host));

    client.send_to(relay.port(), hex("4B 49 56 52 03 01 00 00 46 00 00 00 61 62"));
    EXPECT_EQ(receive_hex(host), "4B 49 56 52 03 01 00 00 01 00 00 00 61 62");
    EXPECT_EQ(next_message(relay),
              "room AAACF: " + addr_of(client) + " joined as tag 1 (1 client(s))");

    host.send_to(relay.port(), hex("4B 49 56 52 03 01 00 00 01 00 00 00 63"));
    EXPECT_EQ(receive_hex(client), "4B 49 56 52 03 01 00 00 00 00 00 00 63");
}

TEST(EndToEnd, ForwardsZeroReservedBytesAndCarryHeaderOnlyData) {
    RelayProcess relay;
    Peer host, client;
    // An open with reserved bytes set is an open like any other; the reply carries zeros.
    host.send_to(relay.port(), header(MSG_OPEN, 0, 1, 0xFFFF));
    std::optional<Bytes> opened = host.receive();
    ASSERT_TRUE(opened);
    ASSERT_EQ(opened->size(), 12u);
    uint32_t id = value_of(*opened);
    EXPECT_EQ(to_hex(*opened), to_hex(header(MSG_OPENED, id)));
    EXPECT_EQ(next_message(relay), "room " + code_of(id) + " opened by " + addr_of(host));
    join(relay, host, client, id, 1, 1);

    client.send_to(relay.port(), with_payload(header(MSG_DATA, id, 1, 0xBEEF), {0x00, 0xFF}));
    EXPECT_EQ(receive_hex(host), "4B 49 56 52 03 01 00 00 01 00 00 00 00 FF");
    host.send_to(relay.port(), with_payload(header(MSG_DATA, 1, 1, 0x0101), {0x7E}));
    EXPECT_EQ(receive_hex(client), "4B 49 56 52 03 01 00 00 00 00 00 00 7E");

    // A header with no payload is a whole message both ways.
    client.send_to(relay.port(), data(id));
    EXPECT_EQ(receive_hex(host), "4B 49 56 52 03 01 00 00 01 00 00 00");
    host.send_to(relay.port(), data(1));
    EXPECT_EQ(receive_hex(client), "4B 49 56 52 03 01 00 00 00 00 00 00");

    // Replies are bare headers too: reserved bytes and trailing bytes of a ping do not echo.
    client.send_to(relay.port(), with_payload(header(MSG_PING, 0x01020304, 1, 0xFFFF), {1, 2}));
    EXPECT_EQ(receive_hex(client), "4B 49 56 52 08 01 00 00 04 03 02 01");
}

TEST(EndToEnd, DropsShortForeignAndUnhandledDatagrams) {
    RelayProcess relay;
    Peer peer;
    std::vector<std::pair<std::string, Bytes>> dropped = {
        {"empty", {}},
        {"magic only", hex("4B 49 56 52")},
        {"11-byte ping", hex("4B 49 56 52 07 01 00 00 04 03 02")},
        {"11 bytes with a wrong version", hex("4B 49 56 52 07 02 00 00 04 03 02")},
        {"bad magic", hex("4B 49 56 53 07 01 00 00 04 03 02 01")},
        {"lower-case magic", hex("6B 69 76 72 07 01 00 00 04 03 02 01")},
        {"bad magic and version", hex("00 00 00 00 07 02 00 00 04 03 02 01")},
        {"one byte", hex("4B")},
    };
    // A wrong magic is dropped before the version is looked at, whichever byte is wrong.
    for (size_t byte = 0; byte < 4; ++byte) {
        for (uint8_t version : {1, 2}) {
            Bytes ping = header(MSG_PING, 1, version);
            ping[byte] ^= 0x20;  // "kIVR", "KiVR", ...
            dropped.push_back({"magic byte " + std::to_string(byte) + " wrong, version " +
                                   std::to_string(version),
                               ping});
        }
    }
    // Under version 1 only open, data, close, leave and ping do anything; every other type
    // is dropped, as are close and leave from a peer that is neither host nor client.
    for (int type = 0; type < 256; ++type) {
        if (MsgType(type) == MSG_OPEN || MsgType(type) == MSG_DATA || MsgType(type) == MSG_PING)
            continue;
        dropped.push_back({"type " + std::to_string(type), header(MsgType(type), 3)});
    }
    for (const auto& [name, datagram] : dropped) {
        SCOPED_TRACE(name);
        peer.send_to(relay.port(), datagram);
        EXPECT_TRUE(next_is_pong(relay, peer));
    }
    EXPECT_TRUE(relay.quiet_for(200ms)) << "nothing dropped may be logged";
}

TEST(EndToEnd, WrongVersionIsAnsweredWhateverTheType) {
    RelayProcess relay;
    Peer peer;
    // In batches small enough for the peer's receive buffer to hold every answer.
    constexpr int BATCH = 64;
    for (int version = 0; version < 256; ++version) {
        if (version == PROTOCOL_VERSION) continue;
        for (int first = 0; first < 256; first += BATCH) {
            for (int type = first; type < first + BATCH; ++type)
                peer.send_to(relay.port(), header(MsgType(type), 7, uint8_t(version)));
            for (int type = first; type < first + BATCH; ++type) {
                ASSERT_EQ(receive_hex(peer), "4B 49 56 52 06 01 00 00 04 00 00 00")
                    << "version " << version << ", type " << type;
            }
        }
    }
    EXPECT_TRUE(next_is_pong(relay, peer)) << "one answer per datagram, no more";
    // The version is checked before anything else the relay acts on: a wrong-version open
    // opens nothing.
    EXPECT_TRUE(relay.quiet_for(200ms));
}

TEST(EndToEnd, UnknownRoomsAreRefused) {
    RelayProcess relay;
    Peer host, client;
    uint32_t id = open_room(relay, host);
    client.send_to(relay.port(), data(0, {'x'}));
    EXPECT_EQ(receive_hex(client), error_hex(ERR_NO_ROOM));
    client.send_to(relay.port(), data(id == MAX_ROOM_ID ? 1 : id + 1, {'x'}));
    EXPECT_EQ(receive_hex(client), error_hex(ERR_NO_ROOM));
    EXPECT_TRUE(next_is_pong(relay, host)) << "refusals forward nothing to a host";
}

Bytes pattern(size_t length) {
    Bytes payload(length);
    for (size_t i = 0; i < length; ++i)
        payload[i] = uint8_t(i * 7 + 3);
    return payload;
}

TEST(EndToEnd, OversizedDataIsDroppedWholeAndLargestIsForwardedWhole) {
    RelayProcess relay;
    Peer host, client;
    uint32_t id = open_room(relay, host);

    // Neither a joining client nor the host may get a cut datagram through, and a dropped
    // one makes no join: the first logged join comes from the 1412-byte datagram.
    for (size_t length : {size_t(1413), size_t(65507)}) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        client.send_to(relay.port(), data(id, pattern(length - 12)));
        EXPECT_TRUE(next_is_pong(relay, client));
        EXPECT_TRUE(next_is_pong(relay, host));
    }
    Bytes largest = data(id, pattern(1400));
    ASSERT_EQ(largest.size(), 1412u);
    client.send_to(relay.port(), largest);
    std::optional<Bytes> forwarded = host.receive();
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(*forwarded, data(1, pattern(1400)));
    EXPECT_EQ(next_message(relay),
              "room " + code_of(id) + ": " + addr_of(client) + " joined as tag 1 (1 client(s))");

    for (size_t length : {size_t(1413), size_t(65507)}) {
        SCOPED_TRACE("host, " + std::to_string(length) + " bytes");
        host.send_to(relay.port(), data(1, pattern(length - 12)));
        EXPECT_TRUE(next_is_pong(relay, client));
    }
    host.send_to(relay.port(), data(1, pattern(1400)));
    forwarded = client.receive();
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(*forwarded, data(0, pattern(1400)));

    // Other types only read their header, whatever follows it.
    for (size_t length : {size_t(1413), size_t(65507)}) {
        client.send_to(relay.port(), with_payload(header(MSG_PING, 9), pattern(length - 12)));
        EXPECT_EQ(receive_hex(client), "4B 49 56 52 08 01 00 00 09 00 00 00");
    }
    EXPECT_TRUE(relay.quiet_for(200ms));
}

}  // namespace
}  // namespace kiv::test
