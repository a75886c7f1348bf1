// kiv-load against the real relay for about a second: datagrams reach hosts and clients
// through the relay, every one intact. Speed is measured by bench/run, never here.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "relay_process.hpp"

#ifndef KIV_LOAD_PATH
#error "KIV_LOAD_PATH must name the load generator"
#endif

namespace kiv::test {
namespace {

// The number after "name=" in kiv-load's report, or -1.
double field(const std::string& report, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(report, match, std::regex(" " + name + "=([0-9.]+)"))) return -1;
    return std::stod(match[1]);
}

TEST(LoadSmoke, BothDirectionsDeliverIntactDatagrams) {
    RelayProcess relay;
    ExitResult load = run_to_exit(KIV_LOAD_PATH,
                                  {"--port", std::to_string(relay.port()), "--hosts", "4",
                                   "--clients", "3", "--direction", "both", "--duration", "1"},
                                  30s);
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_GT(field(load.out, "delivered_c2h"), 0) << load.out;
    EXPECT_GT(field(load.out, "delivered_h2c"), 0) << load.out;
    EXPECT_EQ(field(load.out, "bad"), 0) << load.out;
    // The setup opened 4 rooms and joined 12 clients; the relay logged every one.
    int opened = 0, joined = 0;
    while (std::optional<std::string> line = relay.next_message(1s)) {
        opened += line->find(" opened by ") != std::string::npos;
        joined += line->find(" joined as tag ") != std::string::npos;
        if (opened == 4 && joined == 12) break;
    }
    EXPECT_EQ(opened, 4);
    EXPECT_EQ(joined, 12);
}

TEST(LoadSmoke, LatencyModeReportsRoundTrips) {
    RelayProcess relay;
    ExitResult load = run_to_exit(
        KIV_LOAD_PATH, {"--port", std::to_string(relay.port()), "--latency", "--duration", "0.5"},
        30s);
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_GT(field(load.out, "samples"), 0) << load.out;
    EXPECT_GT(field(load.out, "p50_us"), 0) << load.out;
    EXPECT_GE(field(load.out, "p99_us"), field(load.out, "p50_us")) << load.out;
}

}  // namespace
}  // namespace kiv::test
