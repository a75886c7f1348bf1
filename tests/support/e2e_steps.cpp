#include "e2e_steps.hpp"

#include <cstdio>

namespace kiv::test {

std::string to_hex(const Bytes& datagram) {
    std::string text;
    char byte[4];
    for (uint8_t value : datagram) {
        std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", value);
        text += byte;
    }
    return text;
}

std::string receive_hex(const Peer& peer, std::chrono::milliseconds limit) {
    std::optional<Bytes> datagram = peer.receive(limit);
    return datagram ? to_hex(*datagram) : "<nothing>";
}

std::string error_hex(ErrorCode code) {
    return to_hex(error(code));
}

std::string code_of(uint32_t id) {
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string code(5, '?');
    uint32_t digits = id - 1;
    for (int i = 4; i >= 0; --i, digits >>= 5)
        code[size_t(i)] = alphabet[digits % 32];
    return code;
}

std::string addr_of(const Peer& peer) {
    uint32_t ip = peer.address();
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "." +
           std::to_string(ip >> 8 & 255) + "." + std::to_string(ip & 255) + ":" +
           std::to_string(peer.port());
}

std::string next_message(RelayProcess& relay) {
    return relay.next_message().value_or("<no line>");
}

::testing::AssertionResult next_is_pong(const RelayProcess& relay, const Peer& peer) {
    // A value unlikely to be confused with a tag or a room id.
    static uint32_t marker = 0xA5000000;
    Bytes ping = header(MSG_PING, ++marker);
    peer.send_to(relay.port(), ping);
    std::string expected = to_hex(header(MSG_PONG, marker));
    std::string received = receive_hex(peer);
    if (received == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected the pong " << expected << " but received " << received;
}

uint32_t open_room(RelayProcess& relay, const Peer& host, uint32_t requested) {
    host.send_to(relay.port(), header(MSG_OPEN, requested));
    std::optional<Bytes> reply = host.receive();
    if (!reply || reply->size() != 12 ||
        to_hex(Bytes(reply->begin(), reply->begin() + 8)) != "4B 49 56 52 02 01 00 00") {
        ADD_FAILURE() << "MSG_OPEN answered with " << (reply ? to_hex(*reply) : "<nothing>");
        return 0;
    }
    uint32_t id = value_of(*reply);
    EXPECT_GE(id, 1u);
    EXPECT_LE(id, MAX_ROOM_ID);
    std::string suffix = id == requested ? " (re-opened)" : "";
    EXPECT_EQ(next_message(relay), "room " + code_of(id) + " opened by " + addr_of(host) + suffix);
    return id;
}

void join(RelayProcess& relay, const Peer& host, const Peer& client, uint32_t id, uint32_t tag,
          int count, const Bytes& payload) {
    client.send_to(relay.port(), data(id, payload));
    EXPECT_EQ(receive_hex(host), to_hex(data(tag, payload)));
    EXPECT_EQ(next_message(relay), "room " + code_of(id) + ": " + addr_of(client) +
                                       " joined as tag " + std::to_string(tag) + " (" +
                                       std::to_string(count) + " client(s))");
}

}  // namespace kiv::test
