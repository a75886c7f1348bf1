// The real relay with nobody reading its log, two relays started at the same frozen
// instant, and a relay without the kernel's random source.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "metrics_client.hpp"
#include "preload_env.hpp"
#include "relay_process.hpp"

namespace kiv::test {
namespace {

// Log lines this many open/close pairs make outrun a stalled pipe (64 KiB, about 1,050 of
// these lines) and the relay's queue (1,024 lines) together.
constexpr int PAIRS = 1600;

// The relay's standard output is a pipe the test does not read while it drives the relay:
// a reader that has stalled.
TEST(StalledLogReader, RelayKeepsServingThenTellsWhatItDropped) {
    // Thousands of lines from one address: over the event budget and the log ceiling.
    RelayProcess relay{{"--metrics", "127.0.0.1:0", "--limits", "off", "0"}};
    std::smatch shown;
    std::string metrics_line = relay.next_message().value_or("");
    ASSERT_TRUE(std::regex_search(metrics_line, shown, std::regex(R"(127\.0\.0\.1:(\d+)/)")))
        << metrics_line;
    const uint16_t metrics_port = uint16_t(std::stoi(shown[1]));
    Peer host, client, pinger;
    for (int i = 0; i < PAIRS; ++i) {
        host.send_to(relay.port(), header(MSG_OPEN, 0));
        std::optional<Bytes> opened = host.receive();
        ASSERT_TRUE(opened && type_of(*opened) == MSG_OPENED) << "open " << i;
        host.send_to(relay.port(), header(MSG_CLOSE, 0));
    }
    const int logged = 2 * PAIRS;

    // Nothing read yet: the relay still answers and forwards.
    pinger.send_to(relay.port(), header(MSG_PING, 77));
    std::optional<Bytes> pong = pinger.receive();
    ASSERT_TRUE(pong && type_of(*pong) == MSG_PONG && value_of(*pong) == 77);
    host.send_to(relay.port(), header(MSG_OPEN, 0));
    std::optional<Bytes> opened = host.receive();
    ASSERT_TRUE(opened && type_of(*opened) == MSG_OPENED);
    client.send_to(relay.port(), data(value_of(*opened), {1, 2, 3}));
    std::optional<Bytes> forwarded = host.receive();
    ASSERT_TRUE(forwarded && type_of(*forwarded) == MSG_DATA && forwarded->size() == 15);
    host.send_to(relay.port(), data(1, {4, 5}));
    ASSERT_TRUE(client.receive());

    // Reading again: every line the relay kept comes out whole and in order, then one line
    // counts the rest.
    static const std::regex dropped(R"(^log: (\d+) line\(s\) dropped$)");
    int read = 0;
    long told = -1;
    std::optional<std::string> line;
    while ((line = relay.next_message(2s))) {
        std::smatch match;
        if (std::regex_match(*line, match, dropped)) {
            ASSERT_EQ(told, -1) << "a second count";
            told = std::stol(match[1]);
            break;
        }
        ASSERT_TRUE(line->rfind("room ", 0) == 0) << *line;
        ++read;
    }
    ASSERT_GT(told, 0) << "no count of dropped lines after " << read << " lines";
    printf("%d lines kept through the stall, %ld dropped and counted\n", read, told);
    // The open and the join above came while the queue was full.
    EXPECT_EQ(read + told, logged + 2);
    EXPECT_GT(read, 1024);

    // The count the log gave is the one the metrics page gives.
    EXPECT_EQ(scrape(metrics_port).at("kiv_relay_log_lines_dropped_total"), uint64_t(told));

    // Lines after the count are written at once again.
    host.send_to(relay.port(), header(MSG_CLOSE, 0));
    std::optional<std::string> closed = relay.next_message();
    ASSERT_TRUE(closed);
    EXPECT_NE(closed->find("closed (host closed it), 1 client(s)"), std::string::npos) << *closed;
}

// Two relays whose clocks read the very same instant still hand out different ids.
TEST(RoomIds, TwoRelaysStartedAtOneInstantDrawDifferentIds) {
    std::vector<std::string> frozen = preload_env(KIV_FAKETIME_LIB);
    frozen.push_back("FAKETIME=2026-01-01 00:00:00");
    uint32_t first_ids[2] = {};
    for (uint32_t& id : first_ids) {
        RelayProcess relay({"0"}, frozen);
        Peer host;
        host.send_to(relay.port(), header(MSG_OPEN, 0));
        std::optional<Bytes> opened = host.receive();
        ASSERT_TRUE(opened && type_of(*opened) == MSG_OPENED);
        id = value_of(*opened);
    }
    EXPECT_NE(first_ids[0], first_ids[1]);
}

TEST(RoomIds, NoKernelRandomSourceNoRelay) {
    std::vector<std::string> env = preload_env(KIV_FAULT_SHIM_PATH);
    env.push_back("KIV_FAULT_GETRANDOM=1");
    ExitResult relay = run_to_exit(KIV_RELAY_PATH, {"0"}, WAIT, env);
    EXPECT_EQ(relay.status, 1);
    EXPECT_EQ(relay.out, "");
    EXPECT_NE(relay.err.find("cannot read the kernel's random source"), std::string::npos)
        << relay.err;
}

}  // namespace
}  // namespace kiv::test
