#include <gtest/gtest.h>

#include "relay_process.hpp"

namespace kiv::test {
namespace {

TEST(EndToEnd, PingIsAnsweredWithPong) {
    RelayProcess relay;
    Peer peer;
    peer.send_to(relay.port(), hex("4B 49 56 52 07 01 00 00 04 03 02 01"));
    std::optional<Bytes> pong = peer.receive();
    ASSERT_TRUE(pong);
    EXPECT_EQ(*pong, hex("4B 49 56 52 08 01 00 00 04 03 02 01"));
}

}  // namespace
}  // namespace kiv::test
