// The snapshot a relay hands over: what one relay writes, a new relay reads back whole (its
// own snapshot is then the same bytes) and serves on with. What is refused, and why, the
// end-to-end tests show (hand_over_test.cpp), and the fuzz target that a refusal leaves no room.
#include "relay/snapshot.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core_doubles.hpp"
#include "datagram.hpp"
#include "ipv4.hpp"
#include "table_checks.hpp"

namespace kiv {
namespace {

using test::Bytes;

constexpr uint64_t HASH_KEY = 0x0123456789ABCDEFull;

struct Snapshotted {
    test::ScriptedRandom random = test::ScriptedRandom::seeded(7);
    test::LogCollector log;
    std::unique_ptr<Relay> relay = std::make_unique<Relay>(random.source(), log.sink(), HASH_KEY);

    Outgoing deliver(const Peer& from, Bytes datagram, uint32_t now_ms) {
        datagram.resize(MAX_DATAGRAM + 1);
        return relay->handle(datagram.data(), HEADER_SIZE + 2, from, now_ms);
    }
};

SnapshotOrigin origin() {
    SnapshotOrigin here;
    here.boot_id[3] = 42;
    here.bound = Peer::any(27017);
    return here;
}

std::vector<uint8_t> written(const Relay& relay, uint32_t now_ms) {
    std::vector<uint8_t> bytes(snapshot_size(relay));
    EXPECT_EQ(snapshot_write(relay, origin(), HASH_KEY, now_ms, 5, bytes.data(), bytes.size()),
              bytes.size());
    return bytes;
}

TEST(Snapshot, RoundTripCarriesRoomsCountersAndBudgets) {
    Snapshotted before;
    // Rooms from IPv4 and IPv6 hosts, clients in them, a refused lookup and spent budgets.
    const uint8_t ipv6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    Peer hosts[] = {Peer::ipv4(0x7F000001, 5000), Peer::ipv6(ipv6, 5001),
                    test::mapped(Peer::ipv4(0x7F000004, 5002))};
    for (int h = 0; h < 3; ++h) {
        before.deliver(hosts[h], test::header(MsgType::MSG_OPEN, 0), 100);
        RoomId id = before.relay->table().room_by_host(hosts[h])->id;
        for (uint16_t c = 0; c < 3; ++c)
            before.deliver(Peer::ipv4(0x7F000002 + h, uint16_t(6000 + c)),
                           test::data(id.value, "hi"), 200 + c);
    }
    before.deliver(Peer::ipv4(0x7F000009, 7000), test::data(12345, "hi"), 300);
    std::vector<uint8_t> bytes = written(*before.relay, 400);

    SnapshotHeader header{};
    char why[128] = "";
    ASSERT_TRUE(snapshot_check(bytes.data(), bytes.size(), origin(), &header, why, sizeof why))
        << why;
    EXPECT_EQ(header.hash_key, HASH_KEY);
    EXPECT_EQ(header.written_ms, 400u);
    EXPECT_EQ(header.socket_drops_seen, 5u);
    Snapshotted after;
    ASSERT_TRUE(snapshot_restore(bytes.data(), bytes.size(), *after.relay, why, sizeof why));
    EXPECT_EQ(check::table_fault(after.relay->table()), nullptr);
    EXPECT_EQ(after.relay->counters(), before.relay->counters());
    EXPECT_EQ(written(*after.relay, 400), bytes);
    // The restored relay knows the client: its data goes to its host, not to an error.
    Outgoing out =
        after.deliver(Peer::ipv4(0x7F000003, 6001),
                      test::data(after.relay->table().room_by_host(hosts[1])->id.value, "hi"), 500);
    EXPECT_EQ(out.to, hosts[1]);
}

}  // namespace
}  // namespace kiv
