// What the internet may send the relay's port: datagrams of every awkward length, a wrong
// magic, every version with every type, reserved bytes set. The relay answers only what the
// protocol says it answers, drops the rest without a trace, and keeps serving.
#include <gtest/gtest.h>

#include <string>

#include "protocol.hpp"
#include "relay_process.hpp"
#include "room_code.hpp"

namespace kiv::test {
namespace {

Bytes data(uint32_t value, size_t payload_length) {
    Bytes payload(payload_length);
    for (size_t i = 0; i < payload_length; ++i)
        payload[i] = uint8_t(i * 7 + 3);
    return with_payload(header(3, value), payload);
}

// The datagram as the relay forwards it: same bytes, a new value, version 1, reserved 0.
Bytes forwarded_as(Bytes datagram, uint32_t value) {
    Bytes rewritten = header(3, value);
    std::copy(rewritten.begin(), rewritten.end(), datagram.begin());
    return datagram;
}

std::string addr(const Peer& peer) {
    return "127.0.0.1:" + std::to_string(peer.port());
}

class Malformed : public ::testing::Test {
  protected:
    // Sends a ping from `peer` and expects its pong to be the next datagram `peer` gets:
    // whatever was sent before it was handled and produced nothing more than was expected.
    void expect_only_pong_next(const Peer& peer) {
        uint32_t value = ++ping_value_;
        peer.send_to(relay_.port(), header(7, value));
        EXPECT_EQ(peer.receive(), header(8, value)) << "something arrived before the pong";
    }

    uint32_t open_room(const Peer& host) {
        host.send_to(relay_.port(), header(1, 0));
        std::optional<Bytes> opened = host.receive();
        EXPECT_TRUE(opened && opened->size() == 12 && (*opened)[4] == 2);
        EXPECT_TRUE(relay_.next_message());  // "opened by"
        return opened ? value_of(*opened) : 0;
    }

    RelayProcess relay_;
    uint32_t ping_value_ = 0x10000;
};

TEST_F(Malformed, ShortAndOversizedDatagramsAreDroppedWholeOnesPass) {
    Peer host, client, stranger;
    const uint32_t room = open_room(host);

    for (size_t length : {0, 1, 11})
        stranger.send_to(relay_.port(), Bytes(length, 'K'));
    Bytes ping_cut_short = header(7, 5);
    ping_cut_short.pop_back();
    stranger.send_to(relay_.port(), ping_cut_short);
    expect_only_pong_next(stranger);

    // Only a header, and the largest datagram allowed: forwarded whole.
    for (size_t payload : {size_t(0), MAX_DATAGRAM - HEADER_SIZE}) {
        Bytes datagram = data(room, payload);
        client.send_to(relay_.port(), datagram);
        EXPECT_EQ(host.receive(), forwarded_as(datagram, 1)) << payload;
    }
    EXPECT_EQ(relay_.next_message(), "room " + std::string(room_code(room)) + ": " + addr(client) +
                                         " joined as tag 1 (1 client(s))");

    // One byte over, and the largest UDP datagram: dropped, and no join for a newcomer.
    for (size_t length : {MAX_DATAGRAM + 1, size_t(65507)}) {
        client.send_to(relay_.port(), data(room, length - HEADER_SIZE));
        stranger.send_to(relay_.port(), data(room, length - HEADER_SIZE));
        host.send_to(relay_.port(), data(1, length - HEADER_SIZE));
    }
    expect_only_pong_next(host);
    expect_only_pong_next(client);
    expect_only_pong_next(stranger);
    EXPECT_TRUE(relay_.quiet_for(200ms)) << "an oversized datagram made a join";

    // Other types are handled as usual; their extra bytes are ignored.
    stranger.send_to(relay_.port(), with_payload(header(7, 9), Bytes(65507 - 12, 1)));
    EXPECT_EQ(stranger.receive(), header(8, 9));
}

TEST_F(Malformed, AWrongMagicIsDroppedBeforeTheVersionIsLookedAt) {
    Peer stranger;
    for (size_t byte = 0; byte < 4; ++byte) {
        Bytes ping = header(7, 1), wrong_version = header(7, 1, 2);
        ping[byte] ^= 0x20;  // "kIVR", "KiVR", ...
        wrong_version[byte] ^= 0x20;
        stranger.send_to(relay_.port(), ping);
        stranger.send_to(relay_.port(), wrong_version);
    }
    expect_only_pong_next(stranger);
}

// Every version but 1 is answered with ERR_BAD_VERSION whatever the type; under version 1
// only types 1, 3, 4, 5 and 7 do anything.
TEST_F(Malformed, EveryVersionWithEveryType) {
    Peer stranger;
    // In batches small enough for the peer's receive buffer to hold every answer.
    constexpr int BATCH = 64;
    for (int version = 0; version < 256; ++version) {
        if (version == PROTOCOL_VERSION) continue;
        for (int first = 0; first < 256; first += BATCH) {
            for (int type = first; type < first + BATCH; ++type) {
                stranger.send_to(relay_.port(), header(uint8_t(type), 3, uint8_t(version)));
            }
            for (int type = first; type < first + BATCH; ++type) {
                std::optional<Bytes> answer = stranger.receive();
                ASSERT_EQ(answer, header(6, 4)) << "version " << version << " type " << type;
            }
        }
    }
    expect_only_pong_next(stranger);

    // Version 1, from a peer that is neither host nor client: a data datagram finds no
    // room, a ping is answered, close and leave find nothing to act on, and every other
    // type but open is dropped.
    for (int type = 0; type < 256; ++type) {
        if (type != 1) stranger.send_to(relay_.port(), header(uint8_t(type), 3));
    }
    EXPECT_EQ(stranger.receive(), header(6, 1));
    EXPECT_EQ(stranger.receive(), header(8, 3));
    expect_only_pong_next(stranger);
    EXPECT_TRUE(relay_.quiet_for(100ms));

    stranger.send_to(relay_.port(), header(1, 0));
    std::optional<Bytes> opened = stranger.receive();
    ASSERT_TRUE(opened);
    EXPECT_EQ((*opened)[4], 2);
    EXPECT_TRUE(relay_.next_message());
}

TEST_F(Malformed, ReservedBytesAreIgnoredAndSentAsZero) {
    Peer host, client;
    host.send_to(relay_.port(), header(1, 0, 1, 0xFFFF));
    std::optional<Bytes> opened = host.receive();
    ASSERT_TRUE(opened);
    ASSERT_EQ((*opened)[4], 2);
    const uint32_t room = value_of(*opened);
    EXPECT_EQ(*opened, header(2, room));
    ASSERT_TRUE(relay_.next_message());

    Bytes datagram = data(room, 5);
    datagram[6] = 0xBE;
    datagram[7] = 0xEF;
    client.send_to(relay_.port(), datagram);
    EXPECT_EQ(host.receive(), forwarded_as(datagram, 1));
    ASSERT_TRUE(relay_.next_message());

    Bytes reply = data(1, 3);
    reply[6] = 0x01;
    client.send_to(relay_.port(), header(7, 0x01020304, 1, 0x8000));
    EXPECT_EQ(client.receive(), header(8, 0x01020304));
    host.send_to(relay_.port(), reply);
    EXPECT_EQ(client.receive(), forwarded_as(reply, 0));
}

}  // namespace
}  // namespace kiv::test
