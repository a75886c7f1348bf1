// The liveness sweep on the real binary. A minute of silence is a minute of the relay's
// monotonic clock, so the relay runs under libfaketime at ten times real speed: its
// clock_gettime and its log stamps run fast, and its one-second wait shrinks to match, so a
// minute passes in about six seconds while the test's own clock runs normally.
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "e2e_steps.hpp"
#include "preload_env.hpp"

namespace kiv::test {
namespace {

constexpr int SPEED = 10;

int64_t stamp_seconds(const std::string& line) {
    std::optional<StampedLine> stamped = split_stamp(line);
    EXPECT_TRUE(stamped) << "no stamp in: " << line;
    return stamped ? stamped->seconds : 0;
}

std::string message_of(const std::string& line) {
    std::optional<StampedLine> stamped = split_stamp(line);
    return stamped ? stamped->message : "";
}

std::string stamped_line(RelayProcess& relay) {
    return relay.next_line().value_or("<no line>");
}

void drain(const Peer& peer) {
    while (peer.receive(0ms)) {
    }
}

TEST(Sweep, SilentHostsAndClientsAreForgottenAfterAMinute) {
    RelayProcess relay({"0"}, fast_clock_env(SPEED));

    // A: host and both clients fall silent. B: the host re-sends MSG_OPEN, its client is
    // silent. C: the host only pings. D: the host keeps sending to its client's tag, the
    // client sends nothing.
    Peer host_a, client_a1, client_a2, host_b, client_b, host_c, host_d, client_d;
    host_a.send_to(relay.port(), header(MSG_OPEN, 0));
    std::optional<Bytes> opened = host_a.receive();
    ASSERT_TRUE(opened);
    uint32_t room_a = value_of(*opened);
    std::string opened_a = stamped_line(relay);
    EXPECT_EQ(message_of(opened_a), "room " + code_of(room_a) + " opened by " + addr_of(host_a));
    join(relay, host_a, client_a1, room_a, 1, 1);
    join(relay, host_a, client_a2, room_a, 2, 2);
    uint32_t room_b = open_room(relay, host_b);
    client_b.send_to(relay.port(), data(room_b, {'b'}));
    EXPECT_EQ(receive_hex(host_b), to_hex(data(1, {'b'})));
    std::string joined_b = stamped_line(relay);
    EXPECT_EQ(message_of(joined_b), "room " + code_of(room_b) + ": " + addr_of(client_b) +
                                        " joined as tag 1 (1 client(s))");
    uint32_t room_c = open_room(relay, host_c);
    uint32_t room_d = open_room(relay, host_d);
    join(relay, host_d, client_d, room_d, 1, 1);
    if (HasFailure()) return;

    std::vector<std::string> expected = {
        "room " + code_of(room_a) + " closed (host silent), 2 client(s)",
        "room " + code_of(room_b) + ": tag 1 timed out",
        "room " + code_of(room_c) + " closed (host silent), 0 client(s)",
        "room " + code_of(room_d) + ": tag 1 timed out",
    };
    std::vector<std::string> messages;
    std::string closed_a, timed_out_b;
    // Each pass is 200 ms of real time, 2 s of the relay's: the keep-alives come far more
    // often than once a minute even on a loaded machine. The deadline is real time and
    // allows five fast minutes; a relay whose clock did not run fast would miss it.
    auto started = std::chrono::steady_clock::now();
    auto deadline = started + 30s;
    auto quiet_until = deadline;
    while (std::chrono::steady_clock::now() < std::min(deadline, quiet_until)) {
        host_b.send_to(relay.port(), header(MSG_OPEN, 0));
        EXPECT_EQ(receive_hex(host_b), to_hex(header(MSG_OPENED, room_b)));
        host_c.send_to(relay.port(), header(MSG_PING, 0));
        EXPECT_EQ(receive_hex(host_c), to_hex(header(MSG_PONG, 0)));
        host_d.send_to(relay.port(), data(1, {'d'}));
        if (std::optional<std::string> line = relay.next_line(200ms)) {
            messages.push_back(message_of(*line));
            if (messages.back() == expected[0]) closed_a = *line;
            if (messages.back() == expected[1]) timed_out_b = *line;
            // Once all four came, keep going a little: nothing else may be forgotten.
            if (messages.size() == expected.size()) {
                quiet_until = std::chrono::steady_clock::now() + 1500ms;
            }
        }
    }
    auto elapsed = std::chrono::steady_clock::now() - started;
    std::vector<std::string> sorted_messages = messages, sorted_expected = expected;
    std::sort(sorted_messages.begin(), sorted_messages.end());
    std::sort(sorted_expected.begin(), sorted_expected.end());
    ASSERT_EQ(sorted_messages, sorted_expected);
    std::printf("a minute of silence took %.1f s of real time\n",
                std::chrono::duration<double>(elapsed).count());

    // Nobody is forgotten before a full minute of the relay's clock.
    EXPECT_GE(stamp_seconds(closed_a) - stamp_seconds(opened_a), 60);
    EXPECT_GE(stamp_seconds(timed_out_b) - stamp_seconds(joined_b), 60);

    // The kept room is still B's, and its timed-out client joins afresh with a new tag.
    host_b.send_to(relay.port(), header(MSG_OPEN, 0));
    EXPECT_EQ(receive_hex(host_b), to_hex(header(MSG_OPENED, room_b)));
    join(relay, host_b, client_b, room_b, 2, 1);

    // Forgotten rooms refuse their old clients; a forgotten client is no longer reached.
    client_a1.send_to(relay.port(), data(room_a, {'a'}));
    EXPECT_EQ(receive_hex(client_a1), error_hex(ERR_NO_ROOM));
    drain(client_d);
    host_d.send_to(relay.port(), data(1, {'d'}));
    EXPECT_TRUE(next_is_pong(relay, client_d));
}

}  // namespace
}  // namespace kiv::test
