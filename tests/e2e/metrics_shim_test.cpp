// The metrics under the preload shims: serving the page and logging the stats line allocate
// nothing (alloc_count_shim counts the relay's heap calls after the loop's first wait while
// scrapers ask, are refused, are turned away and time out), and every send the kernel
// refuses is counted (fault_shim fails them).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "metrics_client.hpp"
#include "preload_env.hpp"
#include "relay_process.hpp"
#include "shim_alloc_counts.hpp"

namespace kiv::test {
namespace {

std::string status_of(uint16_t port, const std::string& request) {
    std::string answer = ask(port, request);
    return answer.substr(0, answer.find("\r\n"));
}

uint16_t metrics_port(RelayProcess& relay) {
    std::string line = relay.next_message().value_or("");
    std::smatch match;
    if (!std::regex_search(line, match, std::regex(R"(127\.0\.0\.1:(\d+)/)"))) {
        ADD_FAILURE() << "no metrics line: " << line;
        return 0;
    }
    return uint16_t(std::stoi(match[1]));
}

TEST(NoAllocationAfterStartUp, WhileServingMetricsAndStats) {
#ifdef KIV_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizer runtime owns malloc; the plain build runs this test";
#endif
    const std::string counter_file =
        ::testing::TempDir() + "kiv_metrics_alloc_" + std::to_string(getpid());
    std::vector<std::string> env = preload_env(KIV_ALLOC_SHIM_PATH);
    env.push_back("KIV_ALLOC_COUNT_FILE=" + counter_file);
    RelayProcess relay({"--metrics", "127.0.0.1:0", "0"}, env);
    uint16_t port = metrics_port(relay);

    Peer peer;
    for (int i = 0; i < 20; ++i) {
        peer.send_to(relay.port(), header(MSG_PING, uint32_t(i)));
        ASSERT_TRUE(peer.receive());
        EXPECT_EQ(status_of(port, "GET /metrics HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    }
    EXPECT_EQ(status_of(port, "GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(status_of(port, "PUT /metrics HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(status_of(port, "GET /metrics HTTP/1.1\r\nX: " + std::string(3000, 'x') + "\r\n\r\n"),
              "HTTP/1.1 431 Request Header Fields Too Large");
    std::vector<int> silent;
    for (int i = 0; i < 9; ++i)
        silent.push_back(connect_to(port));  // one turned away
    kill(relay.pid(), SIGUSR1);
    EXPECT_EQ(relay.next_message().value_or("").rfind("stats: ", 0), 0u);
    for (int fd : silent) {
        pollfd closed{fd, POLLIN, 0};
        EXPECT_EQ(poll(&closed, 1, 5000), 1);  // closed by the relay within its time
        close(fd);
    }
    kill(relay.pid(), SIGUSR1);
    EXPECT_EQ(relay.next_message().value_or("").rfind("stats: ", 0), 0u);

    AllocCounters counters{};
    int fd = open(counter_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pread(fd, &counters, sizeof counters, 0), ssize_t(sizeof counters));
    close(fd);
    unlink(counter_file.c_str());
    EXPECT_EQ(counters.loop_started, 1u);
    EXPECT_GT(counters.polls, 40u);
    EXPECT_EQ(counters.in_loop, 0u);
    EXPECT_EQ(counters.frees_in_loop, 0u);
}

TEST(FailedSends, AreCountedOneByOne) {
    std::vector<std::string> env = preload_env(KIV_FAULT_SHIM_PATH);
    env.push_back("KIV_FAULT_SEND_EVERY=3");
    RelayProcess relay({"--metrics", "127.0.0.1:0", "0"}, env);
    uint16_t port = metrics_port(relay);
    Peer peer;
    const uint32_t burst = 200;  // answered in batches; every third answer fails
    for (uint32_t value = 1; value <= burst; ++value)
        peer.send_to(relay.port(), header(MSG_PING, value));
    int pongs = 0;
    while (pongs < 134 && peer.receive())
        ++pongs;
    EXPECT_EQ(pongs, 134);
    std::string page = ask(port, "GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_NE(page.find("\nkiv_relay_pongs_sent_total 200\n"), std::string::npos) << page;
    EXPECT_NE(page.find("\nkiv_relay_send_failures_total 66\n"), std::string::npos) << page;
}

}  // namespace
}  // namespace kiv::test
