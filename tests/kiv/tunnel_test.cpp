// kiv host --forward and kiv join --listen end to end: the real relay, the real kiv, and an
// ordinary UDP echo that knows nothing of rooms, all on 127.0.0.1.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "ipv4.hpp"
#include "preload_env.hpp"
#include "relay_process.hpp"

namespace kiv::test {
namespace {

// Answers every datagram to its sender, unchanged, and remembers who sent; on 127.0.0.1, or
// on ::1 as an IPv6 application.
class Echo {
  public:
    explicit Echo(bool ipv6 = false) : ipv6_(ipv6) {
        fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr{};
        socklen_t length = 0;
        if (ipv6) {
            auto& v6 = reinterpret_cast<sockaddr_in6&>(addr);
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = in6addr_loopback;
            length = sizeof v6;
        } else {
            auto& v4 = reinterpret_cast<sockaddr_in&>(addr);
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof v4;
        }
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0) std::abort();
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Echo() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::string address() const {
        return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
    }
    size_t sources() {
        std::lock_guard lock(mutex_);
        return sources_.size();
    }

  private:
    void run() {
        uint8_t buffer[65536];
        while (!stop_) {
            pollfd waiting{fd_, POLLIN, 0};
            if (poll(&waiting, 1, 50) <= 0) continue;
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                 &length);
            if (n < 0) continue;
            sendto(fd_, buffer, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), length);
            std::lock_guard lock(mutex_);
            sources_.insert(std::string(reinterpret_cast<const char*>(&from), length));
        }
    }

    bool ipv6_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::set<std::string> sources_;
    std::thread thread_;
};

std::string address(const RelayProcess& relay) {
    return "127.0.0.1:" + std::to_string(relay.port());
}

// The first of the next few lines that matches `pattern`; its groups in `match`.
bool err_line(CommandProcess& command, const std::string& pattern, std::smatch* match = nullptr,
              std::chrono::milliseconds limit = WAIT) {
    static std::string line;
    for (int i = 0; i < 20; ++i) {
        std::optional<std::string> next = command.next_err_line(limit);
        if (!next) return false;
        line = *next;
        std::smatch found;
        if (std::regex_search(line, found, std::regex(pattern))) {
            if (match != nullptr) *match = found;
            return true;
        }
    }
    return false;
}

bool relay_logs(RelayProcess& relay, const std::string& pattern,
                std::chrono::milliseconds limit = WAIT) {
    for (int i = 0; i < 20; ++i) {
        std::optional<std::string> message = relay.next_message(limit);
        if (!message) return false;
        if (std::regex_search(*message, std::regex(pattern))) return true;
    }
    return false;
}

// kiv join --listen on a free port; returns the port it reports.
uint16_t listen_port(CommandProcess& join, const std::string& address = R"(127\.0\.0\.1)") {
    std::smatch match;
    if (!err_line(join, "listening on " + address + R"(:(\d+) )", &match)) return 0;
    return uint16_t(std::stoi(match[1]));
}

// A join whose clock runs ten times fast, so that its minute of silence passes in six seconds.
std::vector<std::string> fast_clock_join(const std::vector<std::string>& args) {
    std::vector<std::string> command = kiv::test::fast_clock_env(10);
    command.push_back(KIV_PATH);
    command.push_back("join");
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

TEST(Tunnel, ThreeLocalPeersReachAnEchoThroughARoomByteForByte) {
    RelayProcess relay;
    Echo echo;
    CommandProcess host(KIV_PATH, {"host", address(relay), "--forward", echo.address()});
    std::optional<std::string> announced = host.next_out_line();
    std::smatch match;
    ASSERT_TRUE(announced &&
                std::regex_match(*announced, match, std::regex(R"(room (\w{5}) \(id \d+\))")))
        << announced.value_or("<no line>");
    std::string code = match[1];
    CommandProcess join_a(KIV_PATH, {"join", "--listen", "127.0.0.1:0", address(relay), code});
    CommandProcess join_b("/usr/bin/env",
                          fast_clock_join({address(relay), code, "--listen", "127.0.0.1:0"}));
    uint16_t port_a = listen_port(join_a), port_b = listen_port(join_b);
    ASSERT_NE(port_a, 0);
    ASSERT_NE(port_b, 0);

    Peer a1, a2, b;
    const std::pair<const Peer*, uint16_t> peers[] = {{&a1, port_a}, {&a2, port_a}, {&b, port_b}};
    for (size_t size = 1; size <= 1400; ++size) {
        Bytes payload(size);
        for (size_t i = 0; i < size; ++i)
            payload[i] = uint8_t(size + i);
        for (const auto& [peer, port] : peers)
            peer->send_to(port, payload);
        for (const auto& [peer, port] : peers) {
            std::optional<Bytes> echoed = peer->receive();
            ASSERT_TRUE(echoed) << "size " << size << " to port " << port;
            ASSERT_EQ(*echoed, payload) << "size " << size;
        }
    }
    EXPECT_EQ(echo.sources(), 3u);

    // Too long for the relay: reported, not sent; the next datagram is the next echo.
    a1.send_to(port_a, Bytes(1401, 0xAB));
    EXPECT_TRUE(err_line(join_a, R"(^kiv join: 1 datagram\(s\) over 1400 bytes not sent)"));
    a1.send_to(port_a, {'o', 'k'});
    EXPECT_EQ(a1.receive(), (Bytes{'o', 'k'}));

    // b falls quiet: its join forgets it after a minute of its clock and gives up its place.
    EXPECT_TRUE(err_line(
        join_b, R"(local sender 127\.0\.0\.1:\d+ left the room \(quiet for 60 s\))", nullptr, 20s));
    EXPECT_TRUE(relay_logs(relay, "room " + code + ": tag \\d left", 20s));

    host.terminate();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_TRUE(relay_logs(relay, "room " + code + R"( closed \(host closed it\), 2 client\(s\))"));
    EXPECT_EQ(host.next_out_line(), std::nullopt) << "one line only on standard output";
    // The room is gone: the next datagram is refused, and the join, which cannot tell a
    // closed room from a relay that restarted, tries to get back in until stopped.
    a1.send_to(port_a, {'?'});
    EXPECT_TRUE(err_line(join_a, R"(lost the relay at .* \(no such room\); re-joining)"));
    join_a.terminate();
    EXPECT_EQ(join_a.wait_exit(), 0);
    join_b.terminate();
    EXPECT_EQ(join_b.wait_exit(), 0);
}

// An IPv6 application and IPv6 local senders, the relay between them on IPv4 alone.
TEST(Tunnel, Ipv6EndsReachEachOtherThroughAnIpv4Relay) {
    RelayProcess relay;
    Echo echo(true);
    CommandProcess host(KIV_PATH, {"host", address(relay), "--forward", echo.address()});
    std::optional<std::string> announced = host.next_out_line();
    ASSERT_TRUE(announced);
    std::string code = announced->substr(5, 5);
    CommandProcess join(KIV_PATH, {"join", address(relay), code, "--listen", "[::1]:0"});
    uint16_t port = listen_port(join, R"(\[::1\])");
    ASSERT_NE(port, 0);
    Peer first("::1"), second("::1");
    for (size_t size : {1, 700, 1400}) {
        Bytes payload(size, uint8_t(size));
        for (Peer* peer : {&first, &second}) {
            peer->send_to(port, payload);
            EXPECT_EQ(peer->receive(), payload) << size;
        }
    }
    EXPECT_EQ(echo.sources(), 2u);
    EXPECT_TRUE(err_line(join, "local sender \\[::1\\]:" + std::to_string(first.port())));
    join.interrupt();
    EXPECT_EQ(join.wait_exit(), 0);
}

TEST(Tunnel, ANinthLocalSenderIsReportedAndDropped) {
    RelayProcess relay;
    Echo echo;
    CommandProcess host(KIV_PATH, {"host", "--forward", echo.address(), "--", address(relay)});
    std::optional<std::string> announced = host.next_out_line();
    ASSERT_TRUE(announced);
    std::string code = announced->substr(5, 5);
    CommandProcess join(KIV_PATH, {"join", address(relay), code, "--listen", "127.0.0.1:0"});
    uint16_t port = listen_port(join);
    ASSERT_NE(port, 0);
    Peer peers[9];
    for (Peer& peer : peers) {
        peer.send_to(port, {'h', 'i'});
        if (&peer != &peers[8]) {
            EXPECT_EQ(peer.receive(), (Bytes{'h', 'i'}));
        }
    }
    EXPECT_TRUE(err_line(join,
                         "1 datagram\\(s\\) from more local senders than the room's 8 "
                         "places dropped \\(last from 127\\.0\\.0\\.1:" +
                             std::to_string(peers[8].port()) + "\\)"));
    EXPECT_EQ(peers[8].receive(200ms), std::nullopt);
    join.interrupt();
    EXPECT_EQ(join.wait_exit(), 0);
    EXPECT_TRUE(relay_logs(relay, "tag 8 left"));
}

TEST(Tunnel, OptionsMayFollowOperandsAndDoubleDashEndsThem) {
    RelayProcess relay;
    ExitResult ping = run_to_exit(KIV_PATH, {"ping", address(relay), "-c", "1"});
    EXPECT_EQ(ping.status, 0) << ping.err;
    EXPECT_NE(ping.out.find("1 sent, 1 answered"), std::string::npos) << ping.out;
    ping = run_to_exit(KIV_PATH, {"ping", "-c", "1", "--", address(relay)});
    EXPECT_EQ(ping.status, 0) << ping.err;

    const struct {
        std::vector<std::string> args;
        std::string message;
    } wrong[] = {
        {{"host", "127.0.0.1", "--forward"}, "option '--forward' needs a value"},
        {{"host", "127.0.0.1", "--forward", "127.0.0.1"}, "expected ADDR:PORT, got '127.0.0.1'"},
        {{"host", "127.0.0.1", "--forward", "127.0.0.1:0"}, "invalid port '0'"},
        {{"join", "127.0.0.1", "--listen", "x:1"}, "expected a relay address and a room"},
        {{"join", "127.0.0.1", "ABCDE", "--bogus"}, "unknown option '--bogus'"},
        {{"ping", "127.0.0.1", "-c"}, "option '-c' needs a value"},
        {{"ping", "--", "-c", "1"}, "expected one relay address"},
    };
    for (const auto& [args, message] : wrong) {
        ExitResult result = run_to_exit(KIV_PATH, args);
        EXPECT_EQ(result.status, 2) << args[0] << " " << args.back();
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace kiv::test
