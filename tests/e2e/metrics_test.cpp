// The real relay's metrics page, stats signal and metrics option: every counter moved by
// exactly what a scripted exchange caused, drops the kernel made at a full socket, the
// answers to wrong requests, the connection limit, and scrapers that never read or never ask
// while datagrams keep flowing.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_steps.hpp"
#include "ipv4.hpp"
#include "metrics_client.hpp"

namespace kiv::test {
namespace {

using Clock = std::chrono::steady_clock;

// Sample by sample, how `after` differs from `before`.
Samples moved(const Samples& before, const Samples& after) {
    Samples delta;
    for (const auto& [name, value] : after) {
        auto was = before.find(name);
        EXPECT_NE(was, before.end()) << name << " appeared";
        if (was != before.end() && value != was->second) delta[name] = value - was->second;
    }
    EXPECT_EQ(before.size(), after.size());
    return delta;
}

class MetricsPage : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string line = next_message(relay);
        std::smatch match;
        static const std::regex shown(R"(^metrics on http://127\.0\.0\.1:(\d+)/metrics$)");
        ASSERT_TRUE(std::regex_match(line, match, shown)) << line;
        port = uint16_t(std::stoi(match[1]));
    }

    RelayProcess relay{{"--metrics", "127.0.0.1:0", "0"}};
    uint16_t port = 0;
};

TEST_F(MetricsPage, EachCounterMovesByExactlyWhatTheExchangeCaused) {
    Samples before = scrape(port);
    EXPECT_EQ(before.at("kiv_relay_rooms_capacity"), 256u);
    EXPECT_EQ(before.at("kiv_relay_build_info{version=\"" KIV_EXPECTED_VERSION "\"}"), 1u);
    uint64_t received = 0;

    Peer host;
    uint32_t id = open_room(relay, host);
    std::vector<Peer> clients(9);
    join(relay, host, clients[0], id, 1, 1);
    host.send_to(relay.port(), data(1, {'y', 'o'}));
    EXPECT_EQ(receive_hex(clients[0]), to_hex(data(0, {'y', 'o'})));
    received += 3;

    // One drop of every reason the relay has, then one of every error.
    host.send_to(relay.port(), data(5));
    host.send_to(relay.port(), Bytes(11, 'K'));
    Bytes foreign = header(MSG_PING, 0);
    foreign[0] = 'X';
    host.send_to(relay.port(), foreign);
    host.send_to(relay.port(), header(MSG_OPENED, id));
    clients[0].send_to(relay.port(), data(id, Bytes(MAX_DATAGRAM - HEADER_SIZE + 1, 'z')));
    EXPECT_TRUE(next_is_pong(relay, host));
    EXPECT_TRUE(next_is_pong(relay, clients[0]));
    received += 7;
    host.send_to(relay.port(), header(MSG_PING, 0, 2));
    EXPECT_EQ(receive_hex(host), error_hex(ERR_BAD_VERSION));
    clients[1].send_to(relay.port(), data(0));
    EXPECT_EQ(receive_hex(clients[1]), error_hex(ERR_NO_ROOM));
    for (uint32_t tag = 2; tag <= 8; ++tag)
        join(relay, host, clients[tag - 1], id, tag, int(tag));
    clients[8].send_to(relay.port(), data(id));
    EXPECT_EQ(receive_hex(clients[8]), error_hex(ERR_ROOM_FULL));
    received += 2 + 7 + 1;
    // One address may host 32 rooms: the others are spread over loopback addresses.
    std::vector<std::unique_ptr<Peer>> hosts;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 255; ++i) {
        hosts.push_back(std::make_unique<Peer>(INADDR_LOOPBACK + 1 + i % 16));
        ids.push_back(open_room(relay, *hosts.back()));
    }
    Peer refused;
    refused.send_to(relay.port(), header(MSG_OPEN, 0));
    EXPECT_EQ(receive_hex(refused), error_hex(ERR_NO_FREE_ROOM));
    received += 255 + 1;

    // A leave, a move to another room, and that room closed with the mover in it. Silence
    // (host_silent, timed_out) takes a minute and is counted in the core's unit tests.
    clients[0].send_to(relay.port(), header(MSG_LEAVE, 0));
    EXPECT_EQ(next_message(relay), "room " + code_of(id) + ": tag 1 left");
    Peer& second = *hosts[0];
    join(relay, second, clients[1], ids[0], 1, 1, {'m'});
    received += 2;
    EXPECT_TRUE(next_is_pong(relay, second));
    received += 1;
    Samples after = scrape(port);
    EXPECT_EQ(after.at("kiv_relay_rooms_open"), 256u);
    EXPECT_EQ(after.at("kiv_relay_clients"), 7u);
    second.send_to(relay.port(), header(MSG_CLOSE, 0));
    EXPECT_EQ(next_message(relay),
              "room " + code_of(ids[0]) + " closed (host closed it), 1 client(s)");
    EXPECT_TRUE(next_is_pong(relay, second));
    received += 2;
    after = scrape(port);

    uint64_t bytes_to_host = 8 * (HEADER_SIZE + 2) + HEADER_SIZE + 1;
    Samples want = {
        {R"(kiv_relay_datagrams_received_total{family="ipv4"})", received},
        {R"(kiv_relay_datagrams_dropped_total{reason="short"})", 1},
        {R"(kiv_relay_datagrams_dropped_total{reason="bad_magic"})", 1},
        {R"(kiv_relay_datagrams_dropped_total{reason="unknown_type"})", 1},
        {R"(kiv_relay_datagrams_dropped_total{reason="oversize"})", 1},
        {R"(kiv_relay_datagrams_dropped_total{reason="no_client"})", 1},
        {R"(kiv_relay_datagrams_forwarded_total{direction="to_host",family="ipv4"})", 9},
        {R"(kiv_relay_datagrams_forwarded_total{direction="to_client",family="ipv4"})", 1},
        {R"(kiv_relay_bytes_forwarded_total{direction="to_host",family="ipv4"})", bytes_to_host},
        {R"(kiv_relay_bytes_forwarded_total{direction="to_client",family="ipv4"})",
         HEADER_SIZE + 2},
        {R"(kiv_relay_errors_sent_total{error="no_room"})", 1},
        {R"(kiv_relay_errors_sent_total{error="room_full"})", 1},
        {R"(kiv_relay_errors_sent_total{error="no_free_room"})", 1},
        {R"(kiv_relay_errors_sent_total{error="bad_version"})", 1},
        {"kiv_relay_pongs_sent_total", 4},
        {"kiv_relay_rooms_open", 255},
        {"kiv_relay_clients", 6},
        {"kiv_relay_rooms_opened_total", 256},
        {R"(kiv_relay_rooms_closed_total{reason="host_closed"})", 1},
        {"kiv_relay_clients_joined_total", 9},
        {R"(kiv_relay_clients_left_total{reason="left"})", 1},
        {R"(kiv_relay_clients_left_total{reason="moved"})", 1},
        {R"(kiv_relay_clients_left_total{reason="room_closed"})", 1},
    };
    EXPECT_EQ(moved(before, after), want);
}

TEST_F(MetricsPage, CountsWhatTheKernelDroppedAtAFullSocket) {
    // The relay asks for a 4 MiB receive buffer, which the kernel doubles; a stopped relay
    // cannot hold this burst of large datagrams, and the kernel drops the rest.
    constexpr int BURST = 8000;
    Peer sender;
    Bytes foreign(1400, 'X');
    kill(relay.pid(), SIGSTOP);
    for (int i = 0; i < BURST; ++i)
        sender.send_to(relay.port(), foreign);
    kill(relay.pid(), SIGCONT);
    std::this_thread::sleep_for(300ms);  // the backlog drains before the ping is sent
    EXPECT_TRUE(next_is_pong(relay, sender));
    Samples after = scrape(port);
    uint64_t handled = after.at(R"(kiv_relay_datagrams_dropped_total{reason="bad_magic"})");
    uint64_t kernel = after.at("kiv_relay_receive_queue_drops_total");
    EXPECT_GT(kernel, 0u);
    EXPECT_EQ(handled + kernel, uint64_t(BURST));
    EXPECT_EQ(after.at(R"(kiv_relay_datagrams_received_total{family="ipv4"})"), handled + 1);
}

TEST_F(MetricsPage, PassesPromtool) {
    if (std::string(KIV_PROMTOOL).empty()) GTEST_SKIP() << "promtool not found";
    Peer host;
    open_room(relay, host);
    std::string page = page_of(port);
    FILE* check = popen(KIV_PROMTOOL " check metrics", "w");
    ASSERT_NE(check, nullptr);
    fwrite(page.data(), 1, page.size(), check);
    EXPECT_EQ(pclose(check), 0) << page;
}

TEST_F(MetricsPage, AnythingButGetOfTheMetricsPathGetsA4xx) {
    struct Case {
        std::string request;
        std::string status_line;
    };
    for (const Case& c : std::vector<Case>{
             {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
              "HTTP/1.1 405 Method Not Allowed"},
             {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request"},
             {"GET /metrics HTTP/1.1\r\nX-Long: " + std::string(3000, 'a') + "\r\n\r\n",
              "HTTP/1.1 431 Request Header Fields Too Large"},
         }) {
        SCOPED_TRACE(c.request.substr(0, 30));
        std::string answer = ask(port, c.request);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status_line);
    }
    // A request of exactly the limit is still read and served.
    std::string head = "GET /metrics HTTP/1.1\r\nX-Pad: ";
    std::string full = head + std::string(2048 - head.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(full.size(), 2048u);
    EXPECT_EQ(ask(port, full).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST_F(MetricsPage, ScrapersThatNeverAskOrNeverReadDelayNoDatagram) {
    // Eight connections that say nothing, two from each of four addresses, hold every place;
    // a third from one of those addresses is closed at once.
    std::vector<int> silent;
    auto opened = Clock::now();
    for (int i = 0; i < 8; ++i)
        silent.push_back(connect_to(port, INADDR_LOOPBACK + 10 + uint32_t(i / 2)));
    int reader = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 1;
    setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_TRUE(next_is_pong(relay, Peer()));  // the eight are accepted by now
    int ninth = connect_to(port, INADDR_LOOPBACK + 10);
    auto turned_away = Clock::now();
    EXPECT_EQ(read_to_end(ninth, 1000ms), "");
    EXPECT_LT(Clock::now() - turned_away, 1000ms);
    close(ninth);

    // Datagrams keep flowing meanwhile, each answered well within the connections' time.
    Peer pinger;
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(next_is_pong(relay, pinger));

    // Half a second without a whole request closes the silent ones, and a scraper that asks
    // and never reads gets its page written and its connection closed without anyone
    // waiting on it.
    for (int fd : silent) {
        EXPECT_EQ(read_to_end(fd, 5000ms), "");
        close(fd);
    }
    EXPECT_GE(Clock::now() - opened, 450ms);
    EXPECT_LT(Clock::now() - opened, 1900ms);
    sockaddr_in addr = loopback(port);
    ASSERT_EQ(connect(reader, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string request = "GET /metrics HTTP/1.1\r\n\r\n";
    EXPECT_EQ(write(reader, request.data(), request.size()), ssize_t(request.size()));
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(next_is_pong(relay, pinger));
    std::string answer = read_to_end(reader);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(answer.find("kiv_relay_pongs_sent_total "), std::string::npos) << answer;
    close(reader);
    EXPECT_EQ(scrape(port).at("kiv_relay_pongs_sent_total"), 401u);
}

// Four addresses keep every place taken with connections that trickle a request that never
// ends, reconnecting as soon as one is closed; a scraper on an address of its own is
// served every time.
TEST_F(MetricsPage, ScrapesSucceedWhileOtherAddressesHoldSlowConnections) {
    std::vector<std::pair<int, uint32_t>> slow;
    auto hold_every_place = [&] {
        for (auto& [fd, from] : slow) {
            pollfd closed{fd, POLLIN, 0};
            if (poll(&closed, 1, 0) == 1) {  // closed by the relay: back at once
                close(fd);
                fd = connect_to(port, from);
            }
            (void)send(fd, "G", 1, MSG_NOSIGNAL);
        }
    };
    for (uint32_t i = 0; i < 8; ++i) {
        uint32_t from = INADDR_LOOPBACK + 20 + i / 2;
        slow.emplace_back(connect_to(port, from), from);
    }
    for (int i = 0; i < 20; ++i) {
        hold_every_place();
        ASSERT_TRUE(next_is_pong(relay, Peer()));  // the relay has seen them by now
        EXPECT_GT(scrape(port).count("kiv_relay_pongs_sent_total"), 0u) << "scrape " << i;
    }
    for (auto& [fd, from] : slow)
        close(fd);
}

TEST(StatsSignal, LogsTheMainFiguresAndTheRelayCarriesOn) {
    RelayProcess relay;
    Peer host;
    Peer client;
    uint32_t id = open_room(relay, host);
    join(relay, host, client, id, 1, 1);
    Peer stranger;
    stranger.send_to(relay.port(), Bytes(3, 'x'));
    stranger.send_to(relay.port(), data(0));
    EXPECT_EQ(receive_hex(stranger), error_hex(ERR_NO_ROOM));
    kill(relay.pid(), SIGUSR1);
    EXPECT_EQ(next_message(relay),
              "stats: rooms 1/256, clients 1, received 4, forwarded 1, dropped 1, errors 1");
    EXPECT_TRUE(next_is_pong(relay, client));
    kill(relay.pid(), SIGUSR1);
    EXPECT_EQ(next_message(relay),
              "stats: rooms 1/256, clients 1, received 5, forwarded 1, dropped 1, errors 1");
}

int sockets_of(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int count = 0;
    DIR* fds = opendir(dir.c_str());
    while (dirent* entry = readdir(fds)) {
        char target[64] = {};
        std::string path = dir + "/" + entry->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
            std::string(target).rfind("socket:", 0) == 0) {
            ++count;
        }
    }
    closedir(fds);
    return count;
}

TEST(MetricsOption, WithoutItNothingElseListens) {
    RelayProcess relay;
    EXPECT_EQ(sockets_of(relay.pid()), 1);
    EXPECT_TRUE(relay.quiet_for(200ms));  // and the log says nothing of metrics
}

// The values refused outright are with the other command lines (e2e_startup_test.cpp).
TEST(MetricsOption, ATakenPortExitsOne) {
    RelayProcess first({"0", "--metrics=127.0.0.1:0"});
    std::string line = next_message(first);
    std::string taken = line.substr(line.rfind(':') + 1);
    taken = taken.substr(0, taken.find('/'));
    ExitResult second = run_to_exit(KIV_RELAY_PATH, {"--metrics", taken, "0"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "kiv-relay: metrics: bind 127.0.0.1:" + taken + ": Address already in use\n");
    EXPECT_EQ(second.out, "");
}

}  // namespace
}  // namespace kiv::test
