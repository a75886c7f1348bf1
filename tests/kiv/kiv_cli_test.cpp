// The kiv command end to end: real processes, the real relay, 127.0.0.1 only.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "ipv4.hpp"
#include "preload_env.hpp"
#include "relay_process.hpp"

#ifndef KIV_PATH
#error "KIV_PATH must name the kiv binary"
#endif

namespace kiv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string address(const RelayProcess& relay) {
    return "127.0.0.1:" + std::to_string(relay.port());
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A UDP port nobody listens on: bound once to learn a free one, then released.
uint16_t closed_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = loopback();
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

TEST(KivCommand, VersionAndHelp) {
    ExitResult kiv = run_to_exit(KIV_PATH, {"--version"});
    EXPECT_EQ(kiv.status, 0);
    EXPECT_EQ(kiv.out, "kiv " KIV_EXPECTED_VERSION "\n");
    ExitResult relay = run_to_exit(KIV_RELAY_PATH, {"--version"});
    EXPECT_EQ(relay.status, 0);
    EXPECT_EQ(relay.out, "kiv-relay " KIV_EXPECTED_VERSION "\n");

    for (const char* command : {"ping", "host", "join"}) {
        ExitResult help = run_to_exit(KIV_PATH, {command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: kiv ") + command, 0), 0u) << help.out;
    }
    ExitResult help = run_to_exit(KIV_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "kiv join HOST[:PORT] ROOM")) << help.out;
}

TEST(KivCommand, WrongCommandLinesNameWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "usage: kiv ping"},
        {{"fetch"}, "unknown command 'fetch'"},
        {{"join", "127.0.0.1", "ABCI2"}, "room code 'ABCI2' has 'I' at position 4"},
        {{"join", "127.0.0.1", "ABCD"}, "invalid room 'ABCD'"},
        {{"join", "127.0.0.1", "33554433"}, "invalid room '33554433'"},
        {{"join", "127.0.0.1"}, "expected a relay address and a room"},
        {{"host", "127.0.0.1:0"}, "invalid port '0'"},
        {{"host", "127.0.0.1:70000"}, "invalid port '70000'"},
        {{"host", "-x", "127.0.0.1"}, "unknown option '-x'"},
        {{"ping", "-c", "0", "127.0.0.1"}, "invalid count '0'"},
        {{"ping", "-W", "soon", "127.0.0.1"}, "invalid wait 'soon'"},
        {{"ping"}, "expected one relay address"},
    };
    for (const auto& [args, message] : cases) {
        ExitResult result = run_to_exit(KIV_PATH, args);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_TRUE(contains(result.err, message)) << result.err;
    }
}

TEST(KivCommand, PingAnsweredExitsZero) {
    RelayProcess relay;
    ExitResult ping = run_to_exit(KIV_PATH, {"ping", "-c", "2", "-W", "2", address(relay)});
    EXPECT_EQ(ping.status, 0) << ping.out << ping.err;
    EXPECT_TRUE(std::regex_search(
        ping.out, std::regex(R"(pong 1 from 127\.0\.0\.1:\d+: time=\d+\.\d{3} ms)")))
        << ping.out;
    EXPECT_TRUE(contains(ping.out, "pong 2 from " + address(relay))) << ping.out;
    EXPECT_TRUE(contains(ping.out, "2 sent, 2 answered, 0% lost")) << ping.out;
}

TEST(KivCommand, PingUnansweredExitsOneInBoundedTime) {
    std::string nobody = "127.0.0.1:" + std::to_string(closed_port());
    auto started = Clock::now();
    ExitResult ping = run_to_exit(KIV_PATH, {"ping", "-c", "1", "-W", "1", nobody}, 10s);
    auto elapsed = Clock::now() - started;
    EXPECT_EQ(ping.status, 1) << ping.out << ping.err;
    EXPECT_TRUE(contains(ping.out, "ping 1 to " + nobody + ": no answer within 1.0 s")) << ping.out;
    EXPECT_TRUE(contains(ping.out, "1 sent, 0 answered, 100% lost")) << ping.out;
    EXPECT_LT(elapsed, 8s);  // one second of waiting, with room for a loaded machine
}

// Starts `kiv host` and returns the room code it prints.
std::string hosted_room(CommandProcess& host, RelayProcess& relay) {
    std::optional<std::string> room = host.next_out_line();
    EXPECT_TRUE(room);
    std::smatch match;
    std::string line = room.value_or("");
    EXPECT_TRUE(std::regex_match(line, match, std::regex(R"(room ([A-Z2-9]{5}) \(id (\d+)\))")))
        << line;
    std::string code = match.empty() ? "" : match[1].str();
    std::optional<std::string> opened = relay.next_message();
    EXPECT_TRUE(opened && opened->rfind("room " + code + " opened by 127.0.0.1:", 0) == 0)
        << opened.value_or("(no log line)");
    return code;
}

void exchange_a_line_each_way(std::vector<std::string> relay_args) {
    RelayProcess relay(relay_args);
    CommandProcess host(KIV_PATH, {"host", address(relay)});
    std::string code = hosted_room(host, relay);
    ASSERT_FALSE(code.empty());

    std::string lower_code = code;
    std::transform(lower_code.begin(), lower_code.end(), lower_code.begin(), ::tolower);
    CommandProcess join(KIV_PATH, {"join", address(relay), lower_code});
    std::optional<std::string> joined = join.next_err_line();
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->rfind("joined room " + code + " (id ", 0), 0u) << *joined;
    EXPECT_TRUE(contains(relay.next_message().value_or(""), "joined as tag 1 (1 client(s))"));

    join.write_line("hello host");
    EXPECT_EQ(host.next_out_line(), "1: hello host");
    host.write_line("1 hello client");
    EXPECT_EQ(join.next_out_line(), "hello client");
    // A line without a tag is refused locally, naming the form expected.
    host.write_line("hello?");
    std::optional<std::string> complaint;
    do
        complaint = host.next_err_line();
    while (complaint && !contains(*complaint, "expected 'TAG text'"));
    EXPECT_TRUE(complaint);

    join.close_input();
    EXPECT_EQ(join.wait_exit(), 0);
    EXPECT_EQ(relay.next_message(), "room " + code + ": tag 1 left");
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_EQ(relay.next_message(), "room " + code + " closed (host closed it), 0 client(s)");
}

TEST(KivCommand, HostAndJoinExchangeALineEachWay) {
    exchange_a_line_each_way({});
}

// The join answers the relay's challenge by itself; the user sees the same lines.
TEST(KivCommand, HostAndJoinExchangeALineEachWayThroughARelayThatValidatesJoins) {
    exchange_a_line_each_way({"--validate-joins", "0"});
}

TEST(KivCommand, RefusedJoinPrintsTheReasonAndExitsOne) {
    RelayProcess relay;
    ExitResult join = run_to_exit(KIV_PATH, {"join", address(relay), "AAAAB"});
    EXPECT_EQ(join.status, 1);
    EXPECT_TRUE(contains(join.err, "room AAAAB (id 2) on " + address(relay) + ": no such room"))
        << join.err;

    std::string nobody = "127.0.0.1:" + std::to_string(closed_port());
    ExitResult lost = run_to_exit(KIV_PATH, {"join", nobody, "2"}, 15s);
    EXPECT_EQ(lost.status, 1);
    EXPECT_TRUE(contains(lost.err, "no answer from the relay at " + nobody)) << lost.err;
    // A relay that never answered is most likely not running: the line says how to start one.
    EXPECT_TRUE(contains(lost.err, "start one with: kiv-relay " + nobody.substr(10) + ")\n"))
        << lost.err;
}

TEST(KivCommand, InterruptedHostClosesItsRoom) {
    RelayProcess relay;
    CommandProcess host(KIV_PATH, {"host", address(relay), "012345"});
    std::string code = hosted_room(host, relay);
    EXPECT_EQ(code, "AANB2");  // the id asked for, 12345, was free
    host.interrupt();
    EXPECT_EQ(host.wait_exit(), 130);
    EXPECT_EQ(relay.next_message(), "room " + code + " closed (host closed it), 0 client(s)");
}

// A refusal may be forged, and a relay that stopped answering may still hold the room:
// either way the host gives its room up before it exits.
TEST(KivCommand, RefusedHostClosesBeforeItExits) {
    Peer stand_in;
    CommandProcess host(KIV_PATH, {"host", "127.0.0.1:" + std::to_string(stand_in.port())});
    uint16_t host_port = 0;
    std::optional<Bytes> open = stand_in.receive(WAIT, &host_port);
    ASSERT_TRUE(open);
    ASSERT_EQ(open->at(4), 1);
    stand_in.send_to(host_port, error(ERR_NO_FREE_ROOM));
    EXPECT_EQ(host.wait_exit(), 1);
    std::optional<Bytes> next;
    do {
        next = stand_in.receive(1s);  // resent opens may come before it
    } while (next && next->at(4) == 1);
    ASSERT_TRUE(next) << "no close";
    EXPECT_EQ(*next, header(MSG_CLOSE, 0));
}

// The first line of standard error containing `part`, reading up to `lines` lines.
std::optional<std::string> err_line_with(CommandProcess& command, const std::string& part,
                                         int lines = 20) {
    for (int i = 0; i < lines; ++i) {
        std::optional<std::string> line = command.next_err_line();
        if (!line) return std::nullopt;
        if (contains(*line, part)) return line;
    }
    return std::nullopt;
}

// A relay restarted on its port (killed, then started again, as a service manager does)
// forgets every room. kiv host asks for its room again within a keep-alive, and a line-mode
// kiv join that was in it joins again and says so: the lines typed after the restart reach
// the host after a gap of a few seconds.
TEST(KivCommand, LineModeJoinSurvivesARelayRestart) {
    std::optional<RelayProcess> relay(std::in_place);
    std::string relay_address = address(*relay);
    std::string port = std::to_string(relay->port());
    CommandProcess host(KIV_PATH, {"host", relay_address});
    std::string code = hosted_room(host, *relay);
    ASSERT_FALSE(code.empty());
    CommandProcess join(KIV_PATH, {"join", relay_address, code});
    ASSERT_TRUE(err_line_with(join, "joined room " + code));
    join.write_line("before");
    EXPECT_EQ(host.next_out_line(), "1: before");

    relay.reset();
    relay.emplace(std::vector<std::string>{port});
    auto restarted = Clock::now();
    std::optional<std::string> line;
    for (int i = 0; i < 40 && !(line && contains(*line, ": after ")); ++i) {
        join.write_line("after " + std::to_string(i));
        line = host.next_out_line(500ms);
    }
    auto gap = Clock::now() - restarted;
    ASSERT_TRUE(line && contains(*line, ": after ")) << line.value_or("(nothing)");
    EXPECT_LT(gap, 10s);
    std::optional<std::string> lost = err_line_with(join, "lost the relay at " + relay_address);
    ASSERT_TRUE(lost);
    EXPECT_TRUE(contains(*lost, "(no such room); re-joining room " + code)) << *lost;
    EXPECT_TRUE(
        err_line_with(join, "regained the relay at " + relay_address + ": in room " + code));
    // The same room, so nothing new on the host's standard output.
    EXPECT_FALSE(host.next_out_line(200ms).value_or("").rfind("room", 0) == 0);
}

// With the relay gone for good, kiv join and kiv host say so and exit 1 once the relay would
// have forgotten them (60 s, on a clock ten times as fast).
TEST(KivCommand, JoinAndHostGiveUpOnARelayGoneForGood) {
    std::optional<RelayProcess> relay(std::in_place);
    std::string relay_address = address(*relay);
    auto fast = [](std::vector<std::string> args) {
        std::vector<std::string> command = fast_clock_env(10);
        command.push_back(KIV_PATH);
        command.insert(command.end(), args.begin(), args.end());
        return command;
    };
    CommandProcess host("/usr/bin/env", fast({"host", relay_address}));
    std::string code = hosted_room(host, *relay);
    ASSERT_FALSE(code.empty());
    CommandProcess join("/usr/bin/env", fast({"join", relay_address, code}));
    ASSERT_TRUE(err_line_with(join, "joined room " + code));
    relay.reset();
    auto stopped = Clock::now();
    std::optional<int> join_status = join.wait_exit(15s);
    EXPECT_EQ(join_status, 1);
    EXPECT_GT(Clock::now() - stopped, 3s);  // not before 30 s of silence on the fast clock
    EXPECT_EQ(host.wait_exit(15s), 1);
    EXPECT_TRUE(
        err_line_with(join, "lost the relay at " + relay_address + " (relay did not answer)"));
    EXPECT_TRUE(err_line_with(
        join, "no answer from the relay at " + relay_address + " (gave up re-joining)"));
    EXPECT_TRUE(err_line_with(
        host, "no answer from the relay at " + relay_address + " (gave up on the room)"));
}

// The relay does not tell a host that a client left: kiv host says a tag joined when it first
// speaks, and left once it has been silent as long as the relay keeps a client (60 s, on a
// clock twenty times as fast).
TEST(KivCommand, HostSaysWhenATagJoinedAndWhenItLeft) {
    RelayProcess relay;
    std::vector<std::string> command = fast_clock_env(20);
    command.insert(command.end(), {KIV_PATH, "host", address(relay)});
    CommandProcess host("/usr/bin/env", command);
    std::string code = hosted_room(host, relay);
    ASSERT_FALSE(code.empty());
    CommandProcess join(KIV_PATH, {"join", address(relay), code});
    EXPECT_TRUE(err_line_with(host, "kiv host: tag 1 joined"));
    join.close_input();
    EXPECT_EQ(join.wait_exit(), 0);
    EXPECT_TRUE(err_line_with(host, "kiv host: tag 1 left (silent for 60 s)"));
}

}  // namespace
}  // namespace kiv::test
