// The limits that hold however a stranger sends, on the core with an injected clock: the
// event budget per source, the log ceiling and its summary line, the relay-wide ceiling on
// lookups answered with thousands of sources, budgets that hand no burst to newcomers while
// a crowd churns, open tokens, and --limits off.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core_harness.hpp"
#include "relay/relay.hpp"
#include "wire/open_token.hpp"

namespace kiv {
namespace {

using test::Bytes;
constexpr uint32_t UNUSED_ID = 4242;

// 10.x.y.z: one address of its own per number.
Peer nth_address(uint32_t n, uint16_t port = 1000) {
    return Peer::ipv4(0x0A000000u + n, port);
}

class Limited : public ::testing::Test, public test::CoreHarness {
  protected:
    Limited() : CoreHarness(test::ScriptedRandom::seeded(1), 1000) {}
};

TEST_F(Limited, EventsSpendTheSourcesBudgetAndNothingElseDoes) {
    const Peer host = nth_address(1, 5000);
    const Peer client = nth_address(2, 5000);
    uint32_t room = open_room(host);
    // Keep-alives, data both ways and pings, far more than the burst: no event.
    ASSERT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA);
    for (uint32_t i = 0; i < 4 * EVENT_BURST; ++i) {
        ASSERT_EQ(send(host, MsgType::MSG_OPEN, room), MsgType::MSG_OPENED);
        ASSERT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA);
        ASSERT_EQ(send(host, MsgType::MSG_DATA, 1), MsgType::MSG_DATA);
        ASSERT_EQ(send(client, MsgType::MSG_PING, i), MsgType::MSG_PONG);
    }
    // Open/close cycles from one address: the burst (the host's first open was one), then
    // nothing changes and nothing is logged.
    const Peer cycler = nth_address(1, 5001);
    uint32_t events = 1;
    while (events + 2 <= EVENT_BURST) {
        ASSERT_EQ(send(cycler, MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);
        send(cycler, MsgType::MSG_CLOSE, 0);
        events += 2;
    }
    if (events < EVENT_BURST) {
        ASSERT_EQ(send(cycler, MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);
    }
    size_t lines_before = lines();
    uint64_t rooms_before = relay.counters().rooms_opened;
    EXPECT_EQ(send(cycler, MsgType::MSG_CLOSE, 0), std::nullopt);  // the room stays
    EXPECT_EQ(send(nth_address(1, 5002), MsgType::MSG_OPEN, 0), std::nullopt);
    EXPECT_EQ(send(nth_address(1, 5003), MsgType::MSG_DATA, room), std::nullopt);  // no join
    EXPECT_EQ(lines(), lines_before);
    EXPECT_EQ(relay.counters().rooms_opened, rooms_before);
    EXPECT_EQ(relay.counters().throttled_events, 3u);
    EXPECT_EQ(relay.counters().dropped_throttled, 3u);
    // Members and hosts of that address still work; another address is not touched.
    EXPECT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA);
    EXPECT_EQ(send(host, MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);
    EXPECT_EQ(send(nth_address(3), MsgType::MSG_DATA, room), MsgType::MSG_DATA);

    // One event comes back every 1000 / EVENT_PER_SECOND ms.
    now += 1000 / EVENT_PER_SECOND - 1;
    EXPECT_EQ(send(nth_address(1, 5004), MsgType::MSG_OPEN, 0), std::nullopt);
    now += 1;
    EXPECT_EQ(send(nth_address(1, 5004), MsgType::MSG_OPEN, 0), MsgType::MSG_OPENED);
    EXPECT_EQ(send(nth_address(1, 5005), MsgType::MSG_OPEN, 0), std::nullopt);
}

TEST_F(Limited, LinesOverTheCeilingAreCountedAndToldOnceASecond) {
    // Every open and close from an address of its own: no source is over its budget.
    uint32_t cycles = LOG_LINES_BURST;
    for (uint32_t i = 0; i < cycles; ++i) {
        open_room(nth_address(i));
        send(nth_address(i), MsgType::MSG_CLOSE, 0);
    }
    EXPECT_EQ(lines(), LOG_LINES_BURST);
    EXPECT_EQ(relay.counters().log_lines_suppressed, cycles * 2 - LOG_LINES_BURST);
    EXPECT_EQ(relay.counters().rooms_opened, cycles);  // the events themselves all happened
    relay.sweep(now);
    ASSERT_EQ(lines(), LOG_LINES_BURST + 1);
    EXPECT_EQ(log.lines().back(),
              "log: " + std::to_string(cycles * 2 - LOG_LINES_BURST) + " line(s) suppressed");
    relay.sweep(now + 1000);
    EXPECT_EQ(lines(), LOG_LINES_BURST + 1);  // nothing held back: no summary

    // The ceiling refills at LOG_LINES_PER_SECOND.
    now += 1000;
    for (uint32_t i = 0; i < LOG_LINES_PER_SECOND + 10; ++i)
        open_room(nth_address(cycles + i));
    EXPECT_EQ(lines(), LOG_LINES_BURST + 1 + LOG_LINES_PER_SECOND);
    relay.sweep(now);
    EXPECT_EQ(log.lines().back(), "log: 10 line(s) suppressed");
}

TEST_F(Limited, ThousandsOfSourcesGetNoMoreAnswersThanTheCeiling) {
    const Peer host = nth_address(1'000'000);
    uint32_t room = open_room(host);
    const uint32_t sources = 20000;
    auto scan = [&](uint32_t round) {
        uint32_t answered = 0;
        for (uint32_t i = 0; i < sources; ++i)
            answered += send(nth_address(i), MsgType::MSG_DATA, UNUSED_ID + round).has_value();
        return answered;
    };
    EXPECT_EQ(scan(0), LOOKUPS_BURST);
    now += 1000;
    EXPECT_EQ(scan(1), LOOKUPS_PER_SECOND);
    EXPECT_EQ(relay.counters().throttled_lookup_ceiling,
              2 * sources - LOOKUPS_BURST - LOOKUPS_PER_SECOND);
    // An honest client on an address of its own still joins at once.
    EXPECT_EQ(send(nth_address(2'000'000), MsgType::MSG_DATA, room), MsgType::MSG_DATA);
    EXPECT_EQ(relay.counters().clients_joined, 1u);
}

// Every bucket spent by a crowd larger than the table: a newcomer starts as spent as they
// are, where a fresh bucket would have handed it the whole burst.
TEST(SourceBudgets, ANewcomerToASpentTableGetsNoFreshBurst) {
    SourceBudget budget(4, 1, Relay::FIXED_HASH_KEY);
    const uint32_t now_ms = 5000;
    for (uint64_t source = 1; source <= 2 * uint64_t(SOURCE_BUDGET_BUCKETS); ++source) {
        while (!budget.exhausted(source, now_ms))
            budget.spend(source, now_ms);
    }
    EXPECT_TRUE(budget.exhausted(0xFFFFFFFFull, now_ms));
    // Time still brings it back, at the sustained rate.
    EXPECT_FALSE(budget.exhausted(0xFFFFFFFFull, now_ms + 1000));
}

struct TokenCase {
    const char* what;
    Bytes payload;
    bool admitted;
};

TEST_F(Limited, OpensThatCreateARoomNeedAGoodToken) {
    if (!open_token_supported()) GTEST_SKIP() << "built without libsodium";
    const uint64_t unix_now = 1'800'000'000;
    Bytes key_bytes(32, 0x5A);
    OpenKey key, other_key;
    ASSERT_TRUE(key.set(key_bytes.data(), key_bytes.size()));
    key_bytes[31] ^= 1;
    ASSERT_TRUE(other_key.set(key_bytes.data(), key_bytes.size()));
    ASSERT_FALSE(OpenKey().set(key_bytes.data(), 31));  // too short a key
    relay.open_gate().require(&key);
    relay.open_gate().set_wall_clock(unix_now, now);
    now += 30'000;  // the gate runs the wall clock on from the relay's milliseconds

    auto minted = [](const OpenKey& with, uint64_t expiry) {
        uint8_t token[OPEN_TOKEN_BYTES];
        with.mint(expiry, token);
        return Bytes(token, token + OPEN_TOKEN_BYTES);
    };
    Bytes good = minted(key, unix_now + 30);
    Bytes other_version = good;
    other_version[0] = 2;
    Bytes flipped = good;
    flipped.back() ^= 0x80;
    Bytes longer = good;
    longer.push_back(0);
    const std::vector<TokenCase> cases = {
        {"no token", {}, false},
        {"expired a second ago", minted(key, unix_now + 29), false},
        {"another key", minted(other_key, unix_now + 3600), false},
        {"truncated", Bytes(good.begin(), good.end() - 1), false},
        {"one byte more", longer, false},
        {"another version", other_version, false},
        {"a MAC bit flipped", flipped, false},
        {"good until this very second", good, true},
    };
    uint32_t port = 6000;
    for (const TokenCase& c : cases) {
        size_t lines_before = lines();
        const Peer host = nth_address(7, uint16_t(port++));
        std::optional<MsgType> answer = send(host, MsgType::MSG_OPEN, 0, c.payload);
        if (c.admitted) {
            EXPECT_EQ(answer, MsgType::MSG_OPENED) << c.what;
            EXPECT_EQ(lines(), lines_before + 1) << c.what;
            // Its keep-alives need no token.
            EXPECT_EQ(send(host, MsgType::MSG_OPEN, sent->value()), MsgType::MSG_OPENED) << c.what;
        } else {
            EXPECT_EQ(answer, MsgType::MSG_ERROR) << c.what;
            EXPECT_EQ(sent->value(), uint32_t(ErrorCode::ERR_NOT_ALLOWED)) << c.what;
            EXPECT_EQ(lines(), lines_before) << c.what;  // a refusal is never logged
        }
    }
    EXPECT_EQ(relay.counters().errors_sent[size_t(ErrorCode::ERR_NOT_ALLOWED)], cases.size() - 1);
    // Refused tokens spend the source's event budget like any event.
    for (uint32_t i = uint32_t(cases.size()); i < EVENT_BURST; ++i)
        ASSERT_EQ(send(nth_address(7), MsgType::MSG_OPEN, 0), MsgType::MSG_ERROR);
    EXPECT_EQ(send(nth_address(7, 7000), MsgType::MSG_OPEN, 0, good), std::nullopt);
}

TEST_F(Limited, LimitsOffLetsOneSourceChurnAtAnyRate) {
    relay.set_limits(LimitSwitches::off());
    const Peer host = nth_address(1);
    uint32_t room = open_room(host);
    for (uint32_t i = 0; i < 4 * LOG_LINES_BURST; ++i) {
        const Peer client = nth_address(2, uint16_t(1000 + i % 8));
        ASSERT_EQ(send(client, MsgType::MSG_DATA, room), MsgType::MSG_DATA) << i;
        send(client, MsgType::MSG_LEAVE, 0);
        ASSERT_EQ(send(client, MsgType::MSG_DATA, UNUSED_ID), MsgType::MSG_ERROR) << i;
    }
    for (int i = 0; i < 2 * ROOMS_PER_ADDRESS; ++i)
        ASSERT_EQ(send(nth_address(3, uint16_t(1000 + i)), MsgType::MSG_OPEN, 0),
                  MsgType::MSG_OPENED);
    EXPECT_EQ(lines(), 1 + 4 * 2 * LOG_LINES_BURST + 2 * ROOMS_PER_ADDRESS);
    EXPECT_EQ(relay.counters().dropped_throttled, 0u);
}

}  // namespace
}  // namespace kiv
