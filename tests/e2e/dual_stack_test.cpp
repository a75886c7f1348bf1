// Both address families on the real binary: --bind and its start-up lines, a room with an
// IPv6 host and an IPv4 client, the per-network limits counting an IPv6 /64 as one source,
// and kiv finding the relay by name and by either kind of IPv6 literal. The limits need many
// IPv6 addresses of one prefix, so those tests make a network namespace of their own.
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <vector>

#include "e2e_steps.hpp"

namespace kiv::test {
namespace {

const char* PREFIX = "fd00:6b69:7600::";        // the /64 whose addresses share limits
const char* OTHER_PREFIX = "fd00:6b69:7601::";  // a neighbour /64

// Moves this test's process (and so every program it starts) into a network namespace of its
// own whose loopback also answers for the two prefixes above. Skips the test where the
// machine does not allow one.
#define ENTER_PRIVATE_NETWORK()                                                          \
    do {                                                                                 \
        if (unshare(CLONE_NEWNET) != 0)                                                  \
            GTEST_SKIP() << "no network namespace (unshare: " << strerror(errno) << ")"; \
        if (system("ip link set lo up && "                                               \
                   "ip -6 route add local fd00:6b69:7600::/64 dev lo && "                \
                   "ip -6 route add local fd00:6b69:7601::/64 dev lo") != 0)             \
            GTEST_SKIP() << "cannot set up the namespace's loopback with ip(8)";         \
    } while (0)

std::string listening_line(const std::string& bound, const std::string& families, uint16_t port) {
    return "listening on " + bound + ":" + std::to_string(port) + " (" + families + ")";
}

TEST(DualStack, BindFormsAndTheirStartupLine) {
    const struct {
        std::vector<std::string> args;
        std::string bound, families;
    } cases[] = {
        {{"--bind", "::", "0"}, "[::]", "IPv4 and IPv6"},
        {{"0", "--bind=::1"}, "[::1]", "IPv6"},
        {{"--bind=[::1]", "0"}, "[::1]", "IPv6"},
        {{"0", "--bind", "127.0.0.1"}, "127.0.0.1", "IPv4"},
        {{"--bind", "0.0.0.0", "0"}, "0.0.0.0", "IPv4"},
    };
    for (const auto& [args, bound, families] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        RelayProcess relay(args);
        EXPECT_EQ(next_message(relay), listening_line(bound, families, relay.port()));
    }
    RelayProcess without;
    EXPECT_TRUE(without.quiet_for(200ms)) << "no second line without --bind";
}

// The addresses refused outright are with the other command lines (e2e_startup_test.cpp).
TEST(DualStack, AnAddressNoInterfaceHasFailsToBind) {
    // Documentation addresses: no machine has them, and a failed bind sends nothing.
    ExitResult v4 = run_to_exit(KIV_RELAY_PATH, {"--bind", "192.0.2.1", "0"});
    EXPECT_EQ(v4.status, 1);
    EXPECT_EQ(v4.err, "bind 192.0.2.1:0: Cannot assign requested address\n");
    ExitResult v6 = run_to_exit(KIV_RELAY_PATH, {"--bind=2001:db8::1", "0"});
    EXPECT_EQ(v6.status, 1);
    EXPECT_EQ(v6.err, "bind [2001:db8::1]:0: Cannot assign requested address\n");
}

TEST(DualStack, AnIpv6HostAndAnIpv4ClientShareARoom) {
    RelayProcess relay({"--bind", "::", "0"});
    EXPECT_EQ(next_message(relay), listening_line("[::]", "IPv4 and IPv6", relay.port()));
    Peer host("::1");
    Peer client;  // 127.0.0.1: arrives as ::ffff:127.0.0.1 and is logged as itself
    Peer other_client("::1");
    uint32_t id = open_room(relay, host);
    Bytes all_bytes(256);
    for (size_t i = 0; i < all_bytes.size(); ++i)
        all_bytes[i] = uint8_t(i);
    join(relay, host, client, id, 1, 1, all_bytes);
    join(relay, host, other_client, id, 2, 2);
    host.send_to(relay.port(), data(1, all_bytes));
    EXPECT_EQ(receive_hex(client), to_hex(data(0, all_bytes)));
    host.send_to(relay.port(), data(2, {'v', '6'}));
    EXPECT_EQ(receive_hex(other_client), to_hex(data(0, {'v', '6'})));
    EXPECT_TRUE(next_is_pong(relay, client));
}

TEST(DualStack, LimitsCountAnIpv6PrefixAsOneSource) {
    ENTER_PRIVATE_NETWORK();
    RelayProcess relay({"--bind", "::", "0"});
    EXPECT_EQ(next_message(relay), listening_line("[::]", "IPv4 and IPv6", relay.port()));
    // 32 rooms from 32 addresses of one /64; a 33rd address of it is refused as for a full
    // table, while the neighbouring /64 still gets a room.
    std::vector<std::unique_ptr<Peer>> hosts;
    for (int i = 1; i <= 32; ++i) {
        hosts.push_back(std::make_unique<Peer>(PREFIX + std::to_string(i), true));
        ASSERT_NE(open_room(relay, *hosts.back()), 0u) << i;
    }
    Peer refused(std::string(PREFIX) + "ffff:1", true);
    refused.send_to(relay.port(), header(MSG_OPEN, 0));
    EXPECT_EQ(receive_hex(refused), error_hex(ErrorCode::ERR_NO_FREE_ROOM));
    Peer neighbour(std::string(OTHER_PREFIX) + "1", true);
    EXPECT_NE(open_room(relay, neighbour), 0u);

    // 20 lookups of a room nobody has from 20 addresses of the /64, then its budget is spent:
    // a 21st address of it gets no answer, the neighbour still does.
    std::vector<std::unique_ptr<Peer>> lookers;
    for (int i = 1; i <= 21; ++i) {
        lookers.push_back(
            std::make_unique<Peer>(PREFIX + std::string("1:") + std::to_string(i), true));
        lookers.back()->send_to(relay.port(), data(12345678));
        if (i <= 20) {
            EXPECT_EQ(receive_hex(*lookers.back()), error_hex(ErrorCode::ERR_NO_ROOM)) << i;
        }
    }
    EXPECT_TRUE(next_is_pong(relay, *lookers.back()));
    Peer neighbour_client(std::string(OTHER_PREFIX) + "2", true);
    neighbour_client.send_to(relay.port(), data(12345678));
    EXPECT_EQ(receive_hex(neighbour_client), error_hex(ErrorCode::ERR_NO_ROOM));
}

TEST(DualStack, KivFindsTheRelayByNameAndByEitherIpv6Literal) {
    ENTER_PRIVATE_NETWORK();
    // The default port, so that a bare "::1" (which takes none) reaches it.
    RelayProcess relay({"--bind", "::", "27017"});
    for (std::string where : {"localhost", "localhost:27017", "[::1]:27017", "::1", "[::1]",
                              "127.0.0.1:27017", "::ffff:127.0.0.1"}) {
        ExitResult ping = run_to_exit(KIV_PATH, {"ping", "-c", "1", "-W", "2", where});
        EXPECT_EQ(ping.status, 0) << where << ": " << ping.out << ping.err;
        EXPECT_TRUE(
            std::regex_search(ping.out, std::regex(R"(pong 1 from (\[::1\]|127\.0\.0\.1):27017)")))
            << where << ": " << ping.out;
    }
    ExitResult bad = run_to_exit(KIV_PATH, {"ping", "-c", "1", "[::1]:70000"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("invalid port '70000'"), std::string::npos) << bad.err;
}

// The newcomer's machine: localhost gives ::1 first, and a relay listens on 127.0.0.1 alone.
// Every mode of kiv reaches it by that name, whatever the kernel says of ::1.
TEST(DualStack, KivTriesEveryAddressOfANameUntilOneAnswers) {
    ENTER_PRIVATE_NETWORK();
    std::string hosts = "/tmp/kiv-dual-stack-hosts-" + std::to_string(getpid());
    FILE* file = fopen(hosts.c_str(), "w");
    ASSERT_TRUE(file && fputs("::1 localhost\n127.0.0.1 localhost\n", file) >= 0);
    fclose(file);
    if (unshare(CLONE_NEWNS) != 0 || mount("", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot give this test its own /etc/hosts: " << strerror(errno);
    unlink(hosts.c_str());  // the mount keeps it
    RelayProcess relay({"--bind", "127.0.0.1", "27017"});
    // ::1 refuses at first; then it takes datagrams and never answers, which must cost the
    // address after it no time of its own.
    int silent = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 silent_address{AF_INET6, htons(27017), 0, in6addr_loopback, 0};
    for (bool refusing : {true, false}) {
        if (!refusing) {
            ASSERT_EQ(
                bind(silent, reinterpret_cast<sockaddr*>(&silent_address), sizeof silent_address),
                0);
        }
        ExitResult ping = run_to_exit(KIV_PATH, {"ping", "-c", "1", "-W", "2", "localhost"});
        EXPECT_EQ(ping.status, 0) << ping.out << ping.err;
        EXPECT_NE(ping.out.find("pong 1 from 127.0.0.1:27017"), std::string::npos) << ping.out;
    }
    close(silent);
    const struct {
        std::vector<std::string> args;
        bool says_on_stdout;
        std::string first_line;
    } modes[] = {
        {{"host", "localhost"}, true, "room "},
        {{"host", "localhost", "--forward", "127.0.0.1:9"}, true, "room "},
        {{"join", "localhost", "AAAAB"}, false, "kiv join: room AAAAB (id 2) on 127.0.0.1:27017"},
        {{"join", "localhost", "AAAAB", "--listen", "127.0.0.1:0"}, false, "kiv join: listening"},
    };
    for (const auto& [args, says_on_stdout, first_line] : modes) {
        SCOPED_TRACE(args[0] + " " + args.back());
        CommandProcess command(KIV_PATH, args);
        std::optional<std::string> line =
            says_on_stdout ? command.next_out_line() : command.next_err_line();
        EXPECT_EQ(line.value_or("").rfind(first_line, 0), 0u) << line.value_or("(nothing)");
    }
}

}  // namespace
}  // namespace kiv::test
