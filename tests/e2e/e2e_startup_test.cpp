// The command line and start-up of the real binary: which ports it accepts, what it prints
// and with which status it ends.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e_steps.hpp"

namespace kiv::test {
namespace {

const std::string USAGE =
    "usage: kiv-relay [--bind ADDR] [--metrics [ADDR:]PORT] [--limits on|off] [--open-key FILE] "
    "[--validate-joins] [--reflect] [port]\n";

bool udp_port_is_free(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return free;
}

std::string banner_message(const RelayProcess& relay) {
    std::optional<StampedLine> stamped = split_stamp(relay.banner());
    return stamped ? stamped->message : relay.banner();
}

std::string expected_banner(uint16_t port) {
    return "kiv-relay listening on UDP " + std::to_string(port) + " (protocol 1, 256 rooms max)";
}

// Every command line refused before start-up: status 2, the reason and the usage on standard
// error, nothing on standard output.
TEST(Startup, RefusedCommandLinesExitTwoWithTheReason) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    std::vector<Case> cases = {
        {{"--limits", "of"}, "invalid --limits 'of' (expected on or off)"},
        {{"--limits=", "0"}, "invalid --limits '' (expected on or off)"},
        {{"0", "--limits"}, "--limits needs on or off"},
        {{"0", "--bind"}, "--bind needs ADDR"},
        {{"0", "--metrics"}, "--metrics needs [ADDR:]PORT"},
        {{"--open-key"}, "--open-key needs FILE"},
        {{"--metric", "9100"}, "unknown option '--metric'"},
        {{"1", "2"}, "too many arguments"},
    };
    // Text, out of range, signed, empty, trailing junk, blanks, and a number that would wrap
    // to a valid port in 32-bit arithmetic.
    for (std::string port :
         {"abc", "70000", "-1", "", "12x", "65536", "+5", " 5", "0x10", "4294967297"})
        cases.push_back({{port}, "invalid port '" + port + "' (expected 0-65535)"});
    for (std::string value : {"", "localhost", "1.2.3", "::g", "[::1", "127.0.0.1:9"}) {
        cases.push_back(
            {{"--bind", value, "0"},
             "invalid bind address '" + value + "' (expected an IPv4 or IPv6 address)"});
    }
    for (std::string value : {"", "abc", "70000", ":9100", "localhost:9100", "1.2.3:9100",
                              "127.0.0.1:", "127.0.0.1:-1", "::1:9100"}) {
        cases.push_back({{"--metrics", value, "0"},
                         "invalid metrics address '" + value +
                             "' (expected [ADDR:]PORT, ADDR an IPv4 address or [IPv6])"});
    }
    for (const Case& c : cases) {
        ExitResult result = run_to_exit(KIV_RELAY_PATH, c.args);
        EXPECT_EQ(result.status, 2) << c.reason;
        EXPECT_EQ(result.err, "kiv-relay: " + c.reason + "\n" + USAGE);
        EXPECT_EQ(result.out, "") << c.reason;
    }
}

TEST(Startup, HelpPrintsUsageAndEachOptionOnStandardOutput) {
    // --help anywhere wins, even over a value that is no address.
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"5", "--bind", "x", "--help"}}) {
        ExitResult result = run_to_exit(KIV_RELAY_PATH, args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind(USAGE + "\n", 0), 0u) << result.out;
        for (const char* part :
             {"--bind ADDR", "--metrics [ADDR:]PORT", "--limits on|off", "--open-key FILE",
              "--validate-joins", "default 27017", "--version", "man kiv-relay"})
            EXPECT_NE(result.out.find(part), std::string::npos) << part;
        EXPECT_EQ(result.err, "");
    }
}

TEST(Startup, PortZeroShowsThePortActuallyBound) {
    RelayProcess relay({"0"});
    EXPECT_NE(relay.port(), 0);
    EXPECT_EQ(banner_message(relay), expected_banner(relay.port()));
    Peer peer;
    EXPECT_TRUE(next_is_pong(relay, peer));
}

TEST(Startup, NamedPortIsBoundAndShown) {
    uint16_t port = 0;
    {
        RelayProcess probe({"0"});  // a port the system just found free
        port = probe.port();
    }
    RelayProcess relay({std::to_string(port)});
    EXPECT_EQ(banner_message(relay), expected_banner(port));
    Peer peer;
    EXPECT_TRUE(next_is_pong(relay, peer));
}

TEST(Startup, TakenPortFailsWithBindErrorAndStatusOne) {
    RelayProcess first;
    ExitResult second = run_to_exit(KIV_RELAY_PATH, {std::to_string(first.port())});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err.rfind("bind: ", 0), 0u) << second.err;
    EXPECT_EQ(second.out, "");
    Peer peer;
    EXPECT_TRUE(next_is_pong(first, peer)) << "the first relay must keep its port";
}

TEST(Startup, NoArgumentListensOnDefaultPort) {
    // Someone else may be using the default port on this machine; then there is nothing
    // this test can check without disturbing them.
    if (!udp_port_is_free(27017)) GTEST_SKIP() << "UDP port 27017 is in use";
    RelayProcess relay(RelayProcess::NoArguments{});
    EXPECT_EQ(banner_message(relay), expected_banner(27017));
    Peer peer;
    EXPECT_TRUE(next_is_pong(relay, peer));
}

}  // namespace
}  // namespace kiv::test
