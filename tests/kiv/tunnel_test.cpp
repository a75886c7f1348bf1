// kiv host --forward and kiv join --listen end to end: the real relay, the real kiv, and an
// ordinary UDP echo that knows nothing of rooms, all on 127.0.0.1.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "e2e_steps.hpp"
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
    // The source ports of the datagrams that began with `first`.
    std::set<uint16_t> ports_of(uint8_t first) {
        std::lock_guard lock(mutex_);
        return ports_by_first_[first];
    }
    uint16_t last_port() {
        std::lock_guard lock(mutex_);
        return last_port_;
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
            // Recorded before the answer goes, so whoever reads it after the answer sees it.
            std::lock_guard lock(mutex_);
            sources_.insert(std::string(reinterpret_cast<const char*>(&from), length));
            // Both families keep the port at the same place.
            last_port_ = ntohs(reinterpret_cast<const sockaddr_in&>(from).sin_port);
            if (n > 0) ports_by_first_[buffer[0]].insert(last_port_);
            sendto(fd_, buffer, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    bool ipv6_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::set<std::string> sources_;
    std::map<uint8_t, std::set<uint16_t>> ports_by_first_;
    uint16_t last_port_ = 0;
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

// The relay, an echo, and kiv host --forward in front of it; `code` and `id` of its room.
struct ForwardedRoom {
    RelayProcess relay;
    Echo echo;
    CommandProcess host{KIV_PATH, {"host", address(relay), "--forward", echo.address()}};
    std::string code;
    uint32_t id = 0;

    ForwardedRoom() {
        std::optional<std::string> announced = host.next_out_line();
        std::smatch match;
        if (announced &&
            std::regex_match(*announced, match, std::regex(R"(room (\w{5}) \(id (\d+)\))"))) {
            code = match[1];
            id = uint32_t(std::stoul(match[2]));
        }
    }
};

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(seed + i * 13);
    return bytes;
}

TEST(Tunnel, BetweenKivEndsAnySizeAndManyLocalSendersCrossOverOnePlace) {
    ForwardedRoom room;
    ASSERT_FALSE(room.code.empty());
    CommandProcess join(KIV_PATH,
                        {"join", "--listen", "127.0.0.1:0", address(room.relay), room.code});
    uint16_t port = listen_port(join);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(err_line(join, "the host is kiv host --forward"));

    // Below, at and above a room's payload, up to the largest UDP datagram: each one whole.
    Peer peer;
    for (size_t size :
         {size_t(1), size_t(1395), size_t(1396), size_t(1452), size_t(2779), size_t(65507)}) {
        Bytes payload = pattern(size, uint8_t(size));
        peer.send_to(port, payload);
        std::optional<Bytes> echoed = peer.receive();
        ASSERT_TRUE(echoed) << "size " << size;
        EXPECT_EQ(*echoed, payload) << "size " << size;
    }

    // Far more senders than the room has places, each from its own port, each answered, and
    // each seen by the application as a peer of its own.
    constexpr int SENDERS = 300;
    std::vector<std::unique_ptr<Peer>> senders;
    for (int i = 0; i < SENDERS; ++i) {
        senders.push_back(std::make_unique<Peer>());
        senders.back()->send_to(port, {'s', uint8_t(i), uint8_t(i >> 8)});
    }
    for (int i = 0; i < SENDERS; ++i) {
        EXPECT_EQ(senders[i]->receive(), (Bytes{'s', uint8_t(i), uint8_t(i >> 8)})) << i;
    }
    EXPECT_EQ(room.echo.sources(), size_t(SENDERS + 1));
    // All of them over one place: the relay saw one join.
    EXPECT_TRUE(relay_logs(room.relay, "joined as tag 1 \\(1 client\\(s\\)\\)"));
    EXPECT_TRUE(room.relay.quiet_for(300ms));

    join.interrupt();
    EXPECT_EQ(join.wait_exit(), 0);
    room.host.terminate();
    EXPECT_EQ(room.host.wait_exit(), 0);
}

// An IPv6 application and IPv6 local senders, the relay between them on IPv4 alone and
// challenging every join: the places answer it, and no datagram is lost to it.
TEST(Tunnel, Ipv6EndsReachEachOtherThroughAnIpv4RelayThatValidatesJoins) {
    RelayProcess relay({"--validate-joins", "0"});
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
    join.interrupt();
    EXPECT_EQ(join.wait_exit(), 0);
}

TEST(Tunnel, APlainHostGetsRawDatagramsAndAQuietPlaceIsGivenUp) {
    RelayProcess relay;
    // kiv host without --forward is a plain host: it prints what each tag sends.
    CommandProcess host(KIV_PATH, {"host", address(relay)});
    std::optional<std::string> announced = host.next_out_line();
    ASSERT_TRUE(announced);
    std::string code = announced->substr(5, 5);
    // Ten times fast, so that a minute of quiet passes in six seconds.
    CommandProcess join("/usr/bin/env",
                        fast_clock_join({address(relay), code, "--listen", "127.0.0.1:0"}));
    uint16_t port = listen_port(join);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(err_line(join, "the host is not kiv host --forward"));

    Peer peers[9];
    std::set<std::string> lines;
    for (int i = 0; i < 8; ++i) {
        peers[i].send_to(port, {'p', uint8_t('0' + i)});
        // Its own place: the host sees a new tag for each.
        for (std::optional<std::string> line; (line = host.next_out_line());) {
            if (line->find(": p") != std::string::npos) {
                lines.insert(*line);
                break;
            }
        }
    }
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.count("8: p7"), 1u);
    peers[8].send_to(port, {'n'});
    EXPECT_TRUE(err_line(
        join, "dropped a datagram from 127\\.0\\.0\\.1:" + std::to_string(peers[8].port()) +
                  ": all 8 local senders in use, none quiet for 5 s"));
    peers[0].send_to(port, Bytes(1401, 'x'));
    EXPECT_TRUE(err_line(join,
                         "dropped a 1401-byte datagram from 127\\.0\\.0\\.1:\\d+: over the 1400 "
                         "bytes a room carries to a host that is not kiv; set the application's "
                         "MTU \\(or its largest datagram\\) to 1400 bytes or less"));
    // A minute of the join's clock later every sender is forgotten and its place given up.
    EXPECT_TRUE(err_line(join, R"(forgotten \(quiet for 60 s\))", nullptr, 10s));
    EXPECT_TRUE(relay_logs(relay, "room " + code + ": tag \\d+ left", 10s));
    join.terminate();
    EXPECT_EQ(join.wait_exit(), 0);
}

TEST(Tunnel, AnHonestClientKeepsItsPortWhileAnotherMemberChurns) {
    ForwardedRoom room;
    ASSERT_NE(room.id, 0u);
    CommandProcess join(KIV_PATH,
                        {"join", address(room.relay), room.code, "--listen", "127.0.0.1:0"});
    uint16_t port = listen_port(join);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(err_line(join, "the host is kiv host --forward"));

    Peer honest;
    Peer churner(0x7F000002);
    int cycles = 0;
    for (int round = 0; round < 15; ++round) {
        Bytes ask = {'h', uint8_t(round)};
        honest.send_to(port, ask);
        EXPECT_EQ(honest.receive(), ask) << "round " << round;
        // Another member joins, sends and leaves, over and over: each time a new tag.
        for (int i = 0; i < 20; ++i, ++cycles) {
            churner.send_to(room.relay.port(), data(room.id, {'c'}));
            churner.send_to(room.relay.port(), header(MSG_LEAVE, 0));
        }
        std::this_thread::sleep_for(100ms);
    }
    // The application saw the honest client from one port throughout, and the churn from
    // no more ports than the host has entries for clients.
    EXPECT_EQ(room.echo.ports_of('h').size(), 1u);
    EXPECT_LE(room.echo.ports_of('c').size(), 32u);
    EXPECT_GT(room.echo.ports_of('c').size(), 0u);
    // 300 joins make no more than a line a second (and a few) on kiv host's standard error.
    int lines = 0;
    while (room.host.next_err_line(1500ms))
        ++lines;
    EXPECT_LE(lines, 8) << cycles << " cycles";
}

// The relay restarts (killed, then started on its port again): kiv host asks for its room
// again, each kiv join comes back under a new tag and says hello with its identity, and the
// application sees each join as the same peer before and after, never one as the other. The
// second join speaks first after the restart, so the relay's new tags need not follow the
// old ones; a join that takes up another's old tag is told by its frames' binding. A
// restart this quick leaves no gap for either end to notice; the lines for a gap are the
// line mode's test.
TEST(Tunnel, AfterARelayRestartEachJoinIsTheSamePeerToTheApplication) {
    std::optional<RelayProcess> relay(std::in_place);
    std::string relay_address = address(*relay);
    Echo echo;
    CommandProcess host(KIV_PATH, {"host", relay_address, "--forward", echo.address()});
    std::optional<std::string> announced = host.next_out_line();
    ASSERT_TRUE(announced);
    std::string code = announced->substr(5, 5);
    struct Side {
        uint8_t letter = 0;
        std::unique_ptr<CommandProcess> join;
        uint16_t port = 0;
        Peer application;
    };
    Side sides[2];
    sides[0].letter = 'a', sides[1].letter = 'b';
    for (Side& side : sides) {
        side.join = std::make_unique<CommandProcess>(
            KIV_PATH,
            std::vector<std::string>{"join", relay_address, code, "--listen", "127.0.0.1:0"});
        side.port = listen_port(*side.join);
        ASSERT_NE(side.port, 0);
        EXPECT_TRUE(err_line(*side.join, "the host is kiv host --forward"));
        side.application.send_to(side.port, {side.letter, 0});
        ASSERT_EQ(side.application.receive(), (Bytes{side.letter, 0}));
    }

    uint16_t relay_port = relay->port();
    relay.reset();
    relay.emplace(std::vector<std::string>{std::to_string(relay_port)});
    // The host's keep-alive opens the room again, most likely before either join has a
    // reason to speak: the second join's first datagram then takes up the first one's tag.
    std::optional<std::string> reopened = relay->next_message(3s);
    ASSERT_TRUE(reopened);
    EXPECT_NE(reopened->find("(re-opened)"), std::string::npos) << *reopened;
    // A join reads its local socket again once the host has answered its new hello.
    for (Side* side : {&sides[1], &sides[0]}) {
        std::optional<Bytes> answer;
        for (int attempt = 0; attempt < 20 && answer != Bytes{side->letter, 1}; ++attempt) {
            side->application.send_to(side->port, {side->letter, 1});
            answer = side->application.receive(500ms);
        }
        EXPECT_EQ(answer, (Bytes{side->letter, 1}));
    }
    std::set<uint16_t> a = echo.ports_of('a'), b = echo.ports_of('b');
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(b.size(), 1u);
    EXPECT_NE(a, b);
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
