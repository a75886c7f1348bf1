// The real relay with failing sends and receives (fault_shim preloaded): a failed send loses
// that one datagram and nothing else, a failed receive loses nothing, and the table and the
// log stay exactly what they would be without faults. And under a flood that never ends,
// the relay still sweeps.
#include <signal.h>

#include <ostream>
#include <string>

#include "e2e_steps.hpp"
#include "preload_env.hpp"

namespace kiv::test {
namespace {

struct FaultPlan {
    unsigned send_every;
    const char* send_errnos;
    unsigned recv_every;
};

void PrintTo(const FaultPlan& plan, std::ostream* out) {
    *out << "send every " << plan.send_every << " (" << plan.send_errnos << "), receive every "
         << plan.recv_every;
}

std::vector<std::string> fault_env(const FaultPlan& plan) {
    std::vector<std::string> env = preload_env(KIV_FAULT_SHIM_PATH);
    env.push_back("KIV_FAULT_SEND_EVERY=" + std::to_string(plan.send_every));
    env.push_back(std::string("KIV_FAULT_SEND_ERRNOS=") + plan.send_errnos);
    env.push_back("KIV_FAULT_RECV_EVERY=" + std::to_string(plan.recv_every));
    return env;
}

// Drives the relay one datagram at a time and knows, from the shim's rule, which of the
// relay's sends fail: the relay sends at most one datagram per datagram in, so the n-th
// datagram it sends is known to the test.
class FaultySession {
  public:
    FaultySession(RelayProcess& relay, unsigned send_every)
        : relay_(relay), send_every_(send_every) {}

    // Sends `datagram` from `from` and checks the relay's answer: `expected` at `to`, unless
    // that send is one the shim fails, or nothing at all when `to` is null.
    void step(const Peer& from, const Bytes& datagram, const Peer* to = nullptr,
              const Bytes& expected = {}) {
        from.send_to(relay_.port(), datagram);
        if (to != nullptr && !relay_send_fails()) {
            std::optional<Bytes> got = to->receive();
            ASSERT_TRUE(got) << "step " << steps_;
            EXPECT_EQ(*got, expected) << "step " << steps_;
        } else {
            ping_until_answered(from);
        }
        ++steps_;
    }

    // Pings from `peer` until a pong comes back; its arrival proves that everything `peer`
    // sent before was handled, and that a failed send left the relay able to answer.
    void ping_until_answered(const Peer& peer) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            uint32_t value = ++ping_value_;
            peer.send_to(relay_.port(), header(MSG_PING, value));
            if (relay_send_fails()) continue;
            std::optional<Bytes> pong = peer.receive();
            ASSERT_TRUE(pong) << "no pong for ping " << value;
            EXPECT_EQ(*pong, header(MSG_PONG, value));
            return;
        }
        FAIL() << "two sends in a row failed; the plan needs send_every >= 2";
    }

    void expect_log(std::string line) { expected_log_.push_back(std::move(line)); }

    void check_log() {
        for (const std::string& expected : expected_log_) {
            std::optional<std::string> line = relay_.next_message();
            ASSERT_TRUE(line) << "missing log line: " << expected;
            EXPECT_EQ(*line, expected);
        }
        EXPECT_TRUE(relay_.quiet_for(300ms)) << "a log line more than the session's";
    }

  private:
    bool relay_send_fails() { return ++relay_sends_ % send_every_ == 0; }

    RelayProcess& relay_;
    unsigned send_every_;
    unsigned long relay_sends_ = 0;
    uint32_t ping_value_ = 0;
    int steps_ = 0;
    std::vector<std::string> expected_log_;
};

class UnderFaults : public ::testing::TestWithParam<FaultPlan> {};

// Opens, joins, traffic both ways, a move, a leave and a re-join, closes, a refusal and a
// re-open, played three times; the log must read as it would without a single fault.
TEST_P(UnderFaults, StateAndLogAreThoseOfAFaultFreeRun) {
    const FaultPlan plan = GetParam();
    RelayProcess relay({"0"}, fault_env(plan));
    FaultySession session(relay, plan.send_every);
    Peer host_a, host_b, client_1, client_2, client_3;
    const uint32_t room_a = 4242, room_b = 777;
    const std::string a = code_of(room_a), b = code_of(room_b);

    for (int round = 0; round < 3; ++round) {
        session.step(host_a, header(MSG_OPEN, room_a), &host_a, header(MSG_OPENED, room_a));
        session.expect_log("room " + a + " opened by " + addr_of(host_a) + " (re-opened)");
        session.step(host_b, header(MSG_OPEN, room_b), &host_b, header(MSG_OPENED, room_b));
        session.expect_log("room " + b + " opened by " + addr_of(host_b) + " (re-opened)");

        session.step(client_1, data(room_a, "c1"), &host_a, data(1, "c1"));
        session.expect_log("room " + a + ": " + addr_of(client_1) +
                           " joined as tag 1 (1 client(s))");
        session.step(client_2, data(room_a, "c2"), &host_a, data(2, "c2"));
        session.expect_log("room " + a + ": " + addr_of(client_2) +
                           " joined as tag 2 (2 client(s))");
        session.step(host_a, data(1, "to c1"), &client_1, data(0, "to c1"));
        session.step(host_a, data(2, "to c2"), &client_2, data(0, "to c2"));
        session.step(client_3, data(room_b, "c3"), &host_b, data(1, "c3"));
        session.expect_log("room " + b + ": " + addr_of(client_3) +
                           " joined as tag 1 (1 client(s))");
        session.step(client_1, data(room_a, "again"), &host_a, data(1, "again"));

        // client 2 moves to room B: its tag in A names nobody any more.
        session.step(client_2, data(room_b, "moved"), &host_b, data(2, "moved"));
        session.expect_log("room " + b + ": " + addr_of(client_2) +
                           " joined as tag 2 (2 client(s))");
        session.step(host_a, data(2, "to nobody"));

        session.step(client_1, header(MSG_LEAVE, 0));
        session.expect_log("room " + a + ": tag 1 left");
        session.step(client_1, data(room_a, "back"), &host_a, data(3, "back"));
        session.expect_log("room " + a + ": " + addr_of(client_1) +
                           " joined as tag 3 (1 client(s))");

        session.step(host_a, header(MSG_CLOSE, 0));
        session.expect_log("room " + a + " closed (host closed it), 1 client(s)");
        session.step(client_1, data(room_a, "late"), &client_1, error(ERR_NO_ROOM));
        session.step(host_b, data(1, "to c3"), &client_3, data(0, "to c3"));
        session.step(client_3, header(MSG_PING, 0xABCD, 2), &client_3, error(ERR_BAD_VERSION));

        session.step(host_a, header(MSG_OPEN, room_a), &host_a, header(MSG_OPENED, room_a));
        session.expect_log("room " + a + " opened by " + addr_of(host_a) + " (re-opened)");
        session.step(client_1, data(room_a, "new"), &host_a, data(1, "new"));
        session.expect_log("room " + a + ": " + addr_of(client_1) +
                           " joined as tag 1 (1 client(s))");
        session.step(host_b, header(MSG_CLOSE, 0));
        session.expect_log("room " + b + " closed (host closed it), 2 client(s)");
        session.step(host_a, header(MSG_CLOSE, 0));
        session.expect_log("room " + a + " closed (host closed it), 1 client(s)");
        if (HasFatalFailure()) return;
    }
    // Nothing stray is queued for anyone: each peer's next datagram is its pong.
    for (const Peer* peer : {&host_a, &host_b, &client_1, &client_2, &client_3}) {
        session.ping_until_answered(*peer);
    }
    session.check_log();
}

INSTANTIATE_TEST_SUITE_P(RealRelay, UnderFaults,
                         ::testing::Values(FaultPlan{2, "EAGAIN", 0}, FaultPlan{3, "ENOBUFS", 2},
                                           FaultPlan{4, "EPERM", 3},
                                           FaultPlan{5, "EAGAIN,ENOBUFS,EPERM", 4}),
                         [](const auto& info) {
                             return "send_every_" + std::to_string(info.param.send_every) +
                                    "_recv_every_" + std::to_string(info.param.recv_every);
                         });

// A burst of pings is received and answered in batches; every third answer fails. Exactly
// those are missing: the rest of each batch still goes out, in order.
TEST(UnderFaults, AFailedSendLosesThatDatagramAlone) {
    RelayProcess relay({"0"}, fault_env({3, "EAGAIN,ENOBUFS,EPERM", 0}));
    Peer peer;
    const uint32_t burst = 200;  // not a multiple of 3: the last pong is sent
    for (uint32_t value = 1; value <= burst; ++value)
        peer.send_to(relay.port(), header(MSG_PING, value));
    std::vector<uint32_t> expected, received;
    for (uint32_t value = 1; value <= burst; ++value) {
        if (value % 3 != 0) expected.push_back(value);
    }
    while (received.size() < expected.size()) {
        std::optional<Bytes> pong = peer.receive();
        if (!pong) break;
        ASSERT_EQ(pong->size(), 12u);
        received.push_back(value_of(*pong));
    }
    EXPECT_EQ(received, expected);
    EXPECT_FALSE(peer.receive(100ms)) << "a datagram the shim failed arrived after all";
}

// With every datagram failing and every other receive failing, the relay still keeps its
// table: the host's room, joined through datagrams whose forwards were all lost, closes
// with the right count.
TEST(UnderFaults, EverySendFailingChangesNothingButWhatArrives) {
    RelayProcess relay({"0"}, fault_env({1, "EPERM", 2}));
    Peer host, client;
    const uint32_t room = 99;
    host.send_to(relay.port(), header(MSG_OPEN, room));
    ASSERT_EQ(relay.next_message(),
              "room " + code_of(room) + " opened by " + addr_of(host) + " (re-opened)");
    client.send_to(relay.port(), data(room, "x"));
    ASSERT_EQ(relay.next_message(),
              "room " + code_of(room) + ": " + addr_of(client) + " joined as tag 1 (1 client(s))");
    host.send_to(relay.port(), header(MSG_CLOSE, 0));
    ASSERT_EQ(relay.next_message(),
              "room " + code_of(room) + " closed (host closed it), 1 client(s)");
    EXPECT_FALSE(host.receive(100ms));
    EXPECT_FALSE(client.receive(10ms));
}

// A run of forwards to one peer leaves as one segmented send; when the kernel refuses it,
// the run is sent again datagram by datagram, so a refusal costs one datagram, not the run.
// The shim fails every 50th datagram, counting each segment: of the hundred forwards queued
// while the relay was stopped, only the few whose own send failed may be missing.
TEST(UnderFaults, ARefusedSegmentedSendIsSentAgainOneByOne) {
    RelayProcess relay({"0"}, fault_env({50, "EAGAIN,ENOBUFS,EPERM", 0}));
    Peer host, client;
    const uint32_t room = open_room(relay, host);
    join(relay, host, client, room, 1, 1);

    constexpr uint32_t RUN = 100;
    auto numbered = [](uint32_t sequence) {  // 100 bytes, its number in each four
        std::string payload;
        while (payload.size() < 100)
            payload += std::to_string(1000 + sequence);
        return payload;
    };
    ASSERT_EQ(kill(relay.pid(), SIGSTOP), 0);
    for (uint32_t sequence = 0; sequence < RUN; ++sequence)
        client.send_to(relay.port(), data(room, numbered(sequence)));
    ASSERT_EQ(kill(relay.pid(), SIGCONT), 0);

    uint32_t received = 0, sequence = 0;
    while (std::optional<Bytes> forwarded = host.receive(500ms)) {
        // Whole and in order: each one is a later datagram of the run than the one before.
        while (sequence < RUN && *forwarded != data(1, numbered(sequence)))
            ++sequence;
        ASSERT_LT(sequence++, RUN) << "datagram " << received << " is not one of the run";
        ++received;
    }
    // The relay tries about 200 datagrams (each refused run twice), so the shim fails 4 sends;
    // at most that many forwards are lost, and at least one: the plan counts by datagram.
    EXPECT_GE(received, RUN - 4);
    EXPECT_LT(received, RUN);
}

// A flood that never lets up must not keep the loop from sweeping: a drain pass ends after a
// bounded number of datagrams, so a silent host's room is still closed on time. The shim
// makes the flood (pings from `flooder`, whose pongs show it goes on); libfaketime makes the
// relay's minute pass in six seconds.
TEST(UnderFlood, ASilentHostLosesItsRoomWhileTheFloodGoesOn) {
    Peer host, flooder;
    std::vector<std::string> env = fast_clock_env(10, KIV_FAULT_SHIM_PATH);
    env.push_back("KIV_FAULT_FLOOD_PORT=" + std::to_string(flooder.port()));
    RelayProcess relay({"0"}, env);
    const uint32_t room = open_room(relay, host);
    ASSERT_TRUE(flooder.receive()) << "the flood did not start";

    std::optional<std::string> closed = relay.next_message(30s);
    ASSERT_TRUE(closed) << "the silent host's room was not closed while the flood ran";
    EXPECT_EQ(*closed, "room " + code_of(room) + " closed (host silent), 0 client(s)");
    for (int stale = 0; stale < 100000 && flooder.receive(0ms); ++stale) {
    }
    EXPECT_TRUE(flooder.receive()) << "the flood ended before the room was closed";
}

}  // namespace
}  // namespace kiv::test
