// Peers of both families: their text, which peers are the same (an IPv4 address and its
// mapped form are), and the source network that limits count against.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ipv4.hpp"
#include "relay/relay.hpp"
#include "wire/addr_text.hpp"

namespace kiv {
namespace {

using test::make_addr;
using test::mapped;

TEST(Peer, TextOfEitherFamily) {
    const struct {
        const char* address;
        uint16_t port;
        const char* text;  // nullptr: no peer
    } cases[] = {
        {"192.0.2.7", 40000, "192.0.2.7:40000"},
        {"::ffff:192.0.2.7", 40000, "192.0.2.7:40000"},
        {"2001:db8::7", 40000, "[2001:db8::7]:40000"},
        {"2001:0db8:0000:0000:0000:0000:0000:0007", 1, "[2001:db8::7]:1"},
        {"::1", 65535, "[::1]:65535"},
        {"fe80::1:2:3:4", 0, "[fe80::1:2:3:4]:0"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535,
         "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535"},
        {"[::1]", 1, nullptr},
        {"2001:db8::7:40000", 1, nullptr},
        {"192.0.2.256", 1, nullptr},
        {"", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        Peer peer = Peer::from_text(c.address, c.port);
        ASSERT_EQ(peer.is_set(), c.text != nullptr);
        if (c.text != nullptr) {
            EXPECT_STREQ(addr_str(peer), c.text);
        }
    }
}

TEST(Peer, AMappedAddressIsTheIpv4PeerInEveryRespect) {
    const PeerHashKey key = PeerHashKey::from_seed(7);
    Peer plain = make_addr("192.0.2.7", 40000);
    Peer as_mapped = mapped(plain);
    EXPECT_EQ(as_mapped.family(), AF_INET6);
    EXPECT_TRUE(as_mapped.is_ipv4());
    EXPECT_EQ(as_mapped, plain);
    EXPECT_EQ(as_mapped.hash(key), plain.hash(key));
    EXPECT_EQ(as_mapped.network_key(IPV6_LIMIT_PREFIX), plain.network_key(IPV6_LIMIT_PREFIX));
    EXPECT_STREQ(addr_str(as_mapped), "192.0.2.7:40000");
    EXPECT_EQ(as_mapped.unmapped().family(), AF_INET);
    EXPECT_FALSE(mapped(make_addr("192.0.2.7", 40001)) == plain);
    // ::c000:207 holds the same four bytes and is another peer altogether.
    Peer compatible = make_addr("::192.0.2.7", 40000);
    EXPECT_FALSE(compatible == plain);
    EXPECT_NE(compatible.network_key(IPV6_LIMIT_PREFIX), plain.network_key(IPV6_LIMIT_PREFIX));
}

TEST(Peer, Ipv6PeersShareANetworkByTheirPrefix) {
    Peer a = make_addr("2001:db8:1:2::1", 1);
    EXPECT_EQ(a.network_key(IPV6_LIMIT_PREFIX),
              make_addr("2001:db8:1:2:ffff:ffff:ffff:ffff", 2).network_key(IPV6_LIMIT_PREFIX));
    EXPECT_NE(a.network_key(IPV6_LIMIT_PREFIX),
              make_addr("2001:db8:1:3::1", 1).network_key(IPV6_LIMIT_PREFIX));
    EXPECT_FALSE(a == make_addr("2001:db8:1:2::2", 1));
    // IPv4 networks lie where no IPv6 source can be.
    EXPECT_NE(make_addr("0.0.0.0", 1).network_key(IPV6_LIMIT_PREFIX),
              make_addr("::1", 1).network_key(IPV6_LIMIT_PREFIX));
    EXPECT_NE(make_addr("255.255.255.255", 1).network_key(IPV6_LIMIT_PREFIX),
              make_addr("ff00:0:0:0:ffff:ffff::", 1).network_key(IPV6_LIMIT_PREFIX) ^ 1);
}

// The room table finds a host or a client whichever form its address arrives in, and tells
// peers apart however their hashes fall: under a hash key of zeros every peer has the same
// hash, so only the whole peers compared in the table keep them apart.
TEST(Peer, TheTableComparesWholePeersWhereHashesMeet) {
    auto owned = std::make_unique<RoomTable>(PeerHashKey{});
    RoomTable& table = *owned;
    Room& room = *table.free_room();
    table.room_open(room, RoomId(5), make_addr("192.0.2.7", 40000), 0);
    EXPECT_EQ(table.room_by_host(mapped(make_addr("192.0.2.7", 40000))), &room);
    for (int i = 1; i <= MAX_CLIENTS; ++i) {
        Peer client = make_addr(("2001:db8::" + std::to_string(i)).c_str(), 9);
        table.client_join(room, room.clients[size_t(i - 1)], Tag(uint32_t(i)), client);
    }
    for (int i = 1; i <= MAX_CLIENTS; ++i) {
        Room* found = nullptr;
        ClientSlot* slot =
            table.client_by_addr(make_addr(("2001:db8::" + std::to_string(i)).c_str(), 9), &found);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->tag, Tag(uint32_t(i)));
    }
    table.client_clear(room.clients[2]);
    Room* found = nullptr;
    EXPECT_EQ(table.client_by_addr(make_addr("2001:db8::3", 9), &found), nullptr);
    EXPECT_NE(table.client_by_addr(make_addr("2001:db8::4", 9), &found), nullptr);
}

}  // namespace
}  // namespace kiv
