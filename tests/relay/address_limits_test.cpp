// The limits per source address, on the core with an injected clock: the budget of room
// lookups (its burst, its refill, a full table of budgets) and the cap of rooms per address.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core_harness.hpp"
#include "ipv4.hpp"
#include "relay/relay.hpp"

namespace kiv {
namespace {

using test::make_addr;

constexpr uint32_t UNUSED_ID = 4242;

class AddressLimits : public ::testing::Test, public test::CoreHarness {
  protected:
    AddressLimits() : CoreHarness(test::ScriptedRandom::seeded(1), 1000) {}
    // Spends the whole burst of `scanner` on ids nobody holds.
    void spend_burst(const Peer& scanner) {
        for (uint32_t i = 0; i < ROOM_MISS_BURST; ++i)
            ASSERT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID + i), MsgType::MSG_ERROR);
    }

    const Peer scanner = make_addr("203.0.113.9", 40000);
};

TEST_F(AddressLimits, MissesBurstThenRefillAtTheSustainedRate) {
    spend_burst(scanner);
    size_t lines_before = lines();
    EXPECT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID), std::nullopt);
    EXPECT_EQ(relay.counters().dropped_throttled, 1u);
    EXPECT_EQ(lines(), lines_before);  // a refusal is never logged

    // One lookup comes back every 1000 / ROOM_MISS_PER_SECOND ms, not before.
    constexpr uint32_t PER_LOOKUP_MS = 1000 / ROOM_MISS_PER_SECOND;
    now += PER_LOOKUP_MS - 1;
    EXPECT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID), std::nullopt);
    now += 1;
    EXPECT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID), MsgType::MSG_ERROR);
    EXPECT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID), std::nullopt);

    // A long pause refills the bucket to the burst, never beyond it.
    now += 3600 * 1000;
    spend_burst(scanner);
    EXPECT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID), std::nullopt);
    EXPECT_EQ(relay.counters().dropped_throttled, 4u);
}

TEST_F(AddressLimits, ThrottledAddressKeepsItsRoomsAndClientsWorking) {
    const Peer host = make_addr("203.0.113.9", 40001);  // the scanner's own address
    const Peer client = make_addr("203.0.113.9", 40002);
    uint32_t room = open_room(host);
    ASSERT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA);  // joins
    spend_burst(scanner);

    EXPECT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA);
    EXPECT_TRUE(sent->to == host);
    EXPECT_EQ(send(host, MsgType::MSG_DATA, 1), MsgType::MSG_DATA);
    EXPECT_TRUE(sent->to == client);
    EXPECT_EQ(send(host, MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);  // keep-alive

    // Its other ports can no longer look rooms up: no join, no move, no answer.
    EXPECT_EQ(send(make_addr("203.0.113.9", 40003), MsgType::MSG_DATA, room), std::nullopt);
    size_t lines_before = lines();
    EXPECT_EQ(send(client, MsgType::MSG_DATA, UNUSED_ID), std::nullopt);
    EXPECT_EQ(lines(), lines_before);
    EXPECT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA);  // still in its room
    // Nor ask for an id, free or taken, beyond the lookups kept for re-opens; an open that
    // asks for none is no lookup.
    for (uint16_t i = 0; i < REOPEN_LOOKUP_RESERVE; ++i)
        EXPECT_EQ(send(make_addr("203.0.113.9", 41000 + i), MsgType::MSG_OPEN, room + 1 + i),
                  MsgType::MSG_OPENED);
    const Peer other_port = make_addr("203.0.113.9", 40004);
    EXPECT_EQ(send(other_port, MsgType::MSG_OPEN, room), std::nullopt);
    EXPECT_EQ(send(other_port, MsgType::MSG_OPEN, UNUSED_ID), std::nullopt);
    EXPECT_EQ(send(other_port, MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);

    // Other addresses are not touched by its budget.
    const Peer neighbour = make_addr("203.0.113.10", 40000);
    EXPECT_EQ(send(neighbour, MsgType::MSG_DATA, UNUSED_ID), MsgType::MSG_ERROR);
    EXPECT_EQ(send(neighbour, MsgType::MSG_DATA, room), MsgType::MSG_DATA);
    EXPECT_EQ(relay.counters().dropped_throttled, 4u);
}

// After a restart the relay has lost the room, so each datagram of a host that streams reads
// as a lookup of an unknown room (its tag as the room id); however fast it streams, its
// keep-alive open takes its id back, while a source probing ids with opens and data together
// still gets no more answers than the lookup budget and its re-open reserve.
TEST_F(AddressLimits, AStreamingHostReopensAfterARestartAndProbesStayBounded) {
    const Peer host = make_addr("192.0.2.7", 40000);
    for (uint32_t stream_every_ms : {1, 10, 33}) {
        CoreHarness restarted(test::ScriptedRandom::seeded(2), now);
        for (uint32_t waited_ms = 1;
             waited_ms <= 3000 && !restarted.relay.table().room_by_host(host); ++waited_ms) {
            ++restarted.now;
            if (waited_ms % stream_every_ms == 0) restarted.send(host, MsgType::MSG_DATA, 1);
            if (waited_ms % 1000 == 0) restarted.send(host, MsgType::MSG_OPEN, UNUSED_ID);
        }
        const Room* back = restarted.relay.table().room_by_host(host);
        ASSERT_NE(back, nullptr) << "streaming every " << stream_every_ms << " ms";
        EXPECT_EQ(back->id.value, UNUSED_ID);
    }
    uint32_t answers = 0;
    for (uint32_t i = 0; i <= 10000; ++i, ++now) {
        answers += send(scanner, MsgType::MSG_DATA, UNUSED_ID + i).has_value();
        answers += send(make_addr("203.0.113.9", 1), MsgType::MSG_OPEN, UNUSED_ID + i).has_value();
        send(make_addr("203.0.113.9", 1), MsgType::MSG_CLOSE, 0);
    }
    EXPECT_EQ(answers, ROOM_MISS_BURST + REOPEN_LOOKUP_RESERVE + 10 * ROOM_MISS_PER_SECOND);
}

// More addresses than there are budgets: every newcomer still gets its answer, and a spent
// budget is not given back by the crowd passing through its set.
TEST_F(AddressLimits, FullBudgetTableRefusesNoNewcomerAndKeepsTheSpentBudget) {
    relay.set_limits(LimitSwitches::per_address_only());  // every answer at one instant
    spend_burst(scanner);
    for (uint32_t i = 0; i < 2 * SOURCE_BUDGET_BUCKETS; ++i) {
        std::string ip = "10." + std::to_string(i >> 16) + "." + std::to_string(i >> 8 & 255) +
                         "." + std::to_string(i & 255);
        ASSERT_EQ(send(make_addr(ip.c_str(), 1000), MsgType::MSG_DATA, UNUSED_ID),
                  MsgType::MSG_ERROR)
            << ip;
    }
    EXPECT_EQ(send(scanner, MsgType::MSG_DATA, UNUSED_ID), std::nullopt);
    EXPECT_EQ(relay.counters().dropped_throttled, 1u);
}

TEST_F(AddressLimits, RoomsPerAddressAreCapped) {
    std::vector<Peer> hosts;
    for (int i = 0; i < ROOMS_PER_ADDRESS; ++i) {
        hosts.push_back(make_addr("198.51.100.4", uint16_t(30000 + i)));
        open_room(hosts.back());
    }
    size_t lines_before = lines();
    const Peer one_more = make_addr("198.51.100.4", 29999);
    EXPECT_EQ(send(one_more, MsgType::MSG_OPEN, 0), MsgType::MSG_ERROR);
    EXPECT_EQ(sent->value(), uint32_t(ErrorCode::ERR_NO_FREE_ROOM));
    EXPECT_EQ(lines(), lines_before);
    EXPECT_EQ(send(hosts[0], MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);  // keep-alive
    open_room(make_addr("198.51.100.5", 30000));  // another address is not capped

    // Closing one room, or the sweep forgetting one, makes room for the next.
    send(hosts[0], MsgType::MSG_CLOSE, 0);
    open_room(one_more);
    EXPECT_EQ(send(make_addr("198.51.100.4", 29998), MsgType::MSG_OPEN, 0), MsgType::MSG_ERROR);
    now += TIMEOUT_MS;
    send(hosts[1], MsgType::MSG_OPEN, 0);  // the only host still alive
    now += 1;
    relay.sweep(now);
    EXPECT_EQ(relay.table().rooms_hosted_from(one_more), 1);
    open_room(make_addr("198.51.100.4", 29998));
}

// An IPv6 peer may hold a whole /64: its addresses share one budget and one cap of rooms,
// the next /64 has its own, and an IPv4 peer spends the same budget in either form.
TEST_F(AddressLimits, AnIpv6PrefixIsOneSourceAndAMappedAddressItsIpv4One) {
    spend_burst(make_addr("2001:db8:1:2::1", 1));
    EXPECT_EQ(send(make_addr("2001:db8:1:2:ffff::9", 2), MsgType::MSG_DATA, UNUSED_ID),
              std::nullopt);
    EXPECT_EQ(send(make_addr("2001:db8:1:3::1", 1), MsgType::MSG_DATA, UNUSED_ID),
              MsgType::MSG_ERROR);
    for (uint32_t i = 0; i < ROOMS_PER_ADDRESS; ++i)
        open_room(make_addr(("2001:db8:7:7::" + std::to_string(i + 1)).c_str(), 5));
    EXPECT_EQ(send(make_addr("2001:db8:7:7:1::", 5), MsgType::MSG_OPEN, 0), MsgType::MSG_ERROR);
    EXPECT_EQ(sent->value(), uint32_t(ErrorCode::ERR_NO_FREE_ROOM));
    EXPECT_EQ(send(make_addr("2001:db8:7:8::", 5), MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);

    spend_burst(scanner);
    EXPECT_EQ(send(test::mapped(scanner), MsgType::MSG_DATA, UNUSED_ID), std::nullopt);
}

}  // namespace
}  // namespace kiv
