// The client library against the real relay on 127.0.0.1, and against a scripted stand-in
// relay (a plain UDP peer) where a test needs a reply the relay would not give, or needs to
// step the library's clock by minutes.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "kiv_client.hpp"
#include "relay_process.hpp"
#include "room_code.hpp"
#include "settings.hpp"

namespace kiv::test {
namespace {

using client::Error;
using client::Event;
using client::EventKind;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// Runs the endpoint on the real clock until it reports something, within WAIT.
template <class Endpoint>
Event next_reported(Endpoint& endpoint) {
    uint64_t deadline_us = client::monotonic_us() + uint64_t(WAIT.count()) * 1000;
    for (;;) {
        uint64_t now_us = client::monotonic_us();
        Event event = endpoint.next_event(now_us);
        if (event.kind != EventKind::none || now_us >= deadline_us) return event;
        int wait_ms = client::wait_ms_until(now_us, deadline_us);
        int own_ms = endpoint.wait_ms(now_us);
        if (own_ms >= 0 && own_ms < wait_ms) wait_ms = own_ms;
        pollfd waiting{endpoint.fd(), POLLIN, 0};
        poll(&waiting, 1, wait_ms);
    }
}

// The next data event, skipping the empty datagrams clients send to join and keep alive.
template <class Endpoint>
Event next_payload(Endpoint& endpoint) {
    for (;;) {
        Event event = next_reported(endpoint);
        if (event.kind != EventKind::data || event.length > 0) return event;
    }
}

std::string text_of(const Event& event) {
    return std::string(reinterpret_cast<const char*>(event.payload), event.length);
}

uint32_t open_room(client::Host& host, const RelayProcess& relay, uint32_t requested = 0) {
    EXPECT_EQ(host.connect(loopback(relay.port())), Error::none);
    EXPECT_EQ(host.open(requested, client::monotonic_us()), Error::none);
    Event event = next_reported(host);
    EXPECT_EQ(event.kind, EventKind::opened);
    return event.value;
}

Event join_room(client::Client& joiner, const RelayProcess& relay, uint32_t room_id) {
    EXPECT_EQ(joiner.connect(loopback(relay.port())), Error::none);
    EXPECT_EQ(joiner.join(room_id, client::monotonic_us()), Error::none);
    return next_reported(joiner);
}

TEST(ClientLibrary, HostAndClientExchangeBothWaysThenLeaveAndClose) {
    RelayProcess relay;
    client::Host host;
    uint32_t room_id = open_room(host, relay);
    ASSERT_GE(room_id, 1u);
    ASSERT_LE(room_id, MAX_ROOM_ID);
    EXPECT_EQ(host.room_id(), room_id);
    std::string code = room_code(room_id);
    EXPECT_EQ(relay.next_message(),
              "room " + code + " opened by 127.0.0.1:" + std::to_string(local_port(host.fd())));

    client::Client joiner;
    EXPECT_EQ(join_room(joiner, relay, room_id).kind, EventKind::joined);
    EXPECT_EQ(joiner.state(), client::Client::State::joined);
    std::optional<std::string> joined = relay.next_message();
    ASSERT_TRUE(joined);
    EXPECT_NE(joined->find("joined as tag 1 (1 client(s))"), std::string::npos) << *joined;

    ASSERT_EQ(joiner.send("ab", 2, client::monotonic_us()), Error::none);
    Event at_host = next_payload(host);
    ASSERT_EQ(at_host.kind, EventKind::data);
    EXPECT_EQ(at_host.value, 1u);  // the client's tag
    EXPECT_EQ(text_of(at_host), "ab");

    ASSERT_EQ(host.send(1, "c", 1), Error::none);
    Event at_client = next_payload(joiner);
    ASSERT_EQ(at_client.kind, EventKind::data);
    EXPECT_EQ(at_client.value, 0u);
    EXPECT_EQ(text_of(at_client), "c");

    EXPECT_EQ(joiner.leave(), Error::none);
    EXPECT_EQ(relay.next_message(), "room " + code + ": tag 1 left");
    EXPECT_EQ(host.close(), Error::none);
    EXPECT_EQ(relay.next_message(), "room " + code + " closed (host closed it), 0 client(s)");

    // Gone for good: joining the old id is refused.
    client::Client late;
    Event refused = join_room(late, relay, room_id);
    EXPECT_EQ(refused.kind, EventKind::refused);
    EXPECT_EQ(refused.error, Error::no_room);
}

TEST(ClientLibrary, HostGetsTheRoomItAsksForWhenFree) {
    RelayProcess relay;
    client::Host host;
    EXPECT_EQ(open_room(host, relay, 12345678), 12345678u);
    EXPECT_EQ(relay.next_message(), "room M22LP opened by 127.0.0.1:" +
                                        std::to_string(local_port(host.fd())) + " (re-opened)");
}

TEST(ClientLibrary, RefusalsArriveAsNamedErrors) {
    RelayProcess relay;
    client::Client stranger;
    Event no_room = join_room(stranger, relay, 4242);
    EXPECT_EQ(no_room.kind, EventKind::refused);
    EXPECT_EQ(no_room.error, Error::no_room);
    EXPECT_EQ(stranger.state(), client::Client::State::idle);

    client::Host host;
    uint32_t room_id = open_room(host, relay);
    std::vector<std::unique_ptr<client::Client>> clients;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        clients.push_back(std::make_unique<client::Client>());
        ASSERT_EQ(join_room(*clients.back(), relay, room_id).kind, EventKind::joined) << i;
    }
    client::Client ninth;
    Event full = join_room(ninth, relay, room_id);
    EXPECT_EQ(full.kind, EventKind::refused);
    EXPECT_EQ(full.error, Error::room_full);
}

// The relay refuses a host past the rooms one address may hold as it refuses one when the
// table is full; the library reports either as no_free_room.
TEST(ClientLibrary, ARefusedOpenEndsTheHost) {
    RelayProcess relay;
    std::vector<std::unique_ptr<client::Host>> hosts;
    for (int i = 0; i < ROOMS_PER_ADDRESS; ++i) {
        hosts.push_back(std::make_unique<client::Host>());
        open_room(*hosts.back(), relay);
        ASSERT_EQ(hosts.back()->state(), client::Host::State::open) << i;
    }
    client::Host one_too_many;
    ASSERT_EQ(one_too_many.connect(loopback(relay.port())), Error::none);
    ASSERT_EQ(one_too_many.open(0, client::monotonic_us()), Error::none);
    Event event = next_reported(one_too_many);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::no_free_room);
    EXPECT_EQ(one_too_many.state(), client::Host::State::closed);
}

TEST(ClientLibrary, ExchangingDatagramsAllocatesNothing) {
    RelayProcess relay;
    client::Host host;
    uint32_t room_id = open_room(host, relay);
    client::Client joiner;
    ASSERT_EQ(join_room(joiner, relay, room_id).kind, EventKind::joined);

    constexpr int ROUNDS = 50;
    int at_host = 0, at_client = 0;
    allocation_counting_start();
    for (int i = 0; i < ROUNDS; ++i) {
        (void)joiner.send("ping", 4, client::monotonic_us());
        Event event = next_payload(host);
        at_host += event.kind == EventKind::data && event.length == 4 && event.value == 1;
        (void)host.send(1, "pong", 4);
        event = next_payload(joiner);
        at_client += event.kind == EventKind::data && event.length == 4;
    }
    AllocationCount made = allocation_counting_stop();
    EXPECT_EQ(made.total(), 0) << allocation_counting_method();
    EXPECT_EQ(at_host, ROUNDS);
    EXPECT_EQ(at_client, ROUNDS);
}

TEST(ClientLibrary, PingerTimesTheRoundTrip) {
    RelayProcess relay;
    client::Pinger pinger;
    ASSERT_EQ(pinger.connect(loopback(relay.port())), Error::none);
    for (int probe = 0; probe < 3; ++probe) {
        ASSERT_EQ(pinger.start(client::monotonic_us()), Error::none);
        Event event = next_reported(pinger);
        EXPECT_EQ(event.kind, EventKind::pong);
        EXPECT_LT(event.value, uint32_t(WAIT.count()) * 1000);
    }
}

TEST(ClientLibrary, ArgumentsOutsideTheWireRangesAreRefused) {
    RelayProcess relay;
    client::Host host;
    EXPECT_EQ(host.send(1, "x", 1), Error::not_ready);
    EXPECT_EQ(host.open(MAX_ROOM_ID + 1, 0), Error::bad_room);
    open_room(host, relay);
    EXPECT_EQ(host.send(0, "x", 1), Error::bad_tag);
    EXPECT_EQ(host.send(MAX_TAG + 1, "x", 1), Error::bad_tag);
    std::vector<uint8_t> large(client::MAX_PAYLOAD + 1);
    EXPECT_EQ(host.send(1, large.data(), large.size()), Error::too_large);
    EXPECT_EQ(host.send(1, large.data(), large.size() - 1), Error::none);

    client::Client joiner;
    EXPECT_EQ(joiner.send("x", 1, 0), Error::not_ready);
    EXPECT_EQ(joiner.join(0, 0), Error::bad_room);
    EXPECT_EQ(joiner.leave(), Error::not_ready);
}

// ---- Against a stand-in relay, with the library's clock stepped by hand.

class StandInRelay : public ::testing::Test {
  protected:
    // The next datagram the library sent, or nothing.
    std::optional<Bytes> sent(std::chrono::milliseconds limit = WAIT) {
        return relay_.receive(limit);
    }
    void reply(int endpoint_fd, const Bytes& datagram) {
        relay_.send_to(local_port(endpoint_fd), datagram);
    }
    // Drives the endpoint at a fixed time until something is reported (a reply in flight
    // takes a moment even on loopback).
    template <class Endpoint>
    Event event_at(Endpoint& endpoint, uint64_t now_us) {
        for (int i = 0; i < 500; ++i) {
            Event event = endpoint.next_event(now_us);
            if (event.kind != EventKind::none) return event;
            pollfd waiting{endpoint.fd(), POLLIN, 0};
            poll(&waiting, 1, 10);
        }
        return {};
    }

    Peer relay_;
    sockaddr_in address_ = loopback(relay_.port());
    static constexpr uint64_t T0 = 1'000'000'000;
    static constexpr auto SHORT = std::chrono::milliseconds(200);
};

TEST_F(StandInRelay, OpenIsResentEverySecondThenTimesOut) {
    client::Host host;
    ASSERT_EQ(host.connect(address_), Error::none);
    ASSERT_EQ(host.open(0, T0, 3'000'000), Error::none);
    EXPECT_EQ(sent(), header(MSG_OPEN, 0));
    EXPECT_EQ(host.wait_ms(T0), 1000);
    EXPECT_EQ(host.next_event(T0 + 999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(SHORT));
    EXPECT_EQ(host.next_event(T0 + 1'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(), header(MSG_OPEN, 0));
    EXPECT_EQ(host.next_event(T0 + 2'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(), header(MSG_OPEN, 0));
    Event event = host.next_event(T0 + 3'000'000);
    EXPECT_EQ(event.kind, EventKind::timed_out);
    EXPECT_EQ(event.error, Error::timed_out);
    EXPECT_EQ(host.state(), client::Host::State::closed);
    EXPECT_STREQ(client::error_text(event.error), "relay did not answer");
}

TEST_F(StandInRelay, OpenRoomIsKeptAliveEveryThirtySeconds) {
    client::Host host;
    ASSERT_EQ(host.connect(address_), Error::none);
    ASSERT_EQ(host.open(0, T0), Error::none);
    ASSERT_TRUE(sent());
    reply(host.fd(), header(MSG_OPENED, 70));
    Event opened = event_at(host, T0);
    EXPECT_EQ(opened.kind, EventKind::opened);
    EXPECT_EQ(opened.value, 70u);

    EXPECT_EQ(host.wait_ms(T0), 30000);
    EXPECT_EQ(host.next_event(T0 + 29'999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(SHORT));
    EXPECT_EQ(host.next_event(T0 + 30'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(), header(MSG_OPEN, 70));  // the room held, asked for again
    // The same id back is no news; the next keep-alive is due 30 s later.
    reply(host.fd(), header(MSG_OPENED, 70));
    poll(nullptr, 0, 50);
    EXPECT_EQ(host.next_event(T0 + 30'000'000).kind, EventKind::none);
    EXPECT_EQ(host.wait_ms(T0 + 30'000'000), 30000);

    // A relay that restarted and gave the id away hands out another: that is news.
    EXPECT_EQ(host.next_event(T0 + 60'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(), header(MSG_OPEN, 70));
    reply(host.fd(), header(MSG_OPENED, 71));
    Event moved = event_at(host, T0 + 60'000'000);
    EXPECT_EQ(moved.kind, EventKind::opened);
    EXPECT_EQ(moved.value, 71u);
    EXPECT_EQ(host.room_id(), 71u);
}

TEST_F(StandInRelay, UnansweredKeepAliveEndsTheRoom) {
    client::Host host;
    ASSERT_EQ(host.connect(address_), Error::none);
    ASSERT_EQ(host.open(0, T0, 2'000'000), Error::none);
    reply(host.fd(), header(MSG_OPENED, 70));
    ASSERT_EQ(event_at(host, T0).kind, EventKind::opened);
    EXPECT_EQ(host.next_event(T0 + 30'000'000).kind, EventKind::none);
    EXPECT_EQ(host.next_event(T0 + 32'000'000).kind, EventKind::timed_out);
}

TEST_F(StandInRelay, BadVersionAndUnknownErrorsAreNamed) {
    client::Host host;
    ASSERT_EQ(host.connect(address_), Error::none);
    ASSERT_EQ(host.open(0, T0), Error::none);
    reply(host.fd(), error(ERR_BAD_VERSION));
    Event event = event_at(host, T0);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::bad_version);

    client::Client joiner;
    ASSERT_EQ(joiner.connect(address_), Error::none);
    ASSERT_EQ(joiner.join(70, T0), Error::none);
    reply(joiner.fd(), header(MSG_ERROR, 9));
    event = event_at(joiner, T0);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::unknown_refusal);
}

TEST_F(StandInRelay, ForeignAndMalformedDatagramsAreIgnored) {
    client::Host host;
    ASSERT_EQ(host.connect(address_), Error::none);
    ASSERT_EQ(host.open(0, T0), Error::none);
    reply(host.fd(), header(MSG_OPENED, 70, 2));  // another protocol version
    reply(host.fd(), Bytes{'K', 'I', 'V', 'R'});  // shorter than a header
    reply(host.fd(), with_payload(header(MSG_DATA, 1), Bytes(MAX_DATAGRAM, 'x')));  // too long
    Peer stranger;
    stranger.send_to(local_port(host.fd()), header(MSG_OPENED, 99));
    poll(nullptr, 0, 100);
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);
    EXPECT_EQ(host.state(), client::Host::State::opening);
}

TEST_F(StandInRelay, JoinIsConfirmedByThePongAfterIt) {
    client::Client joiner;
    ASSERT_EQ(joiner.connect(address_), Error::none);
    ASSERT_EQ(joiner.join(70, T0), Error::none);
    EXPECT_EQ(sent(), header(MSG_DATA, 70));
    std::optional<Bytes> ping = sent();
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->at(4), 7);
    // A pong to something else does not confirm the join; the join is re-sent meanwhile.
    reply(joiner.fd(), header(MSG_PONG, value_of(*ping) + 1));
    poll(nullptr, 0, 50);
    EXPECT_EQ(joiner.next_event(T0 + 1'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(), header(MSG_DATA, 70));
    EXPECT_EQ(sent(), *ping);
    reply(joiner.fd(), *ping);
    (*ping)[4] = 8;
    reply(joiner.fd(), *ping);
    EXPECT_EQ(event_at(joiner, T0 + 1'000'000).kind, EventKind::joined);
}

TEST_F(StandInRelay, IdleClientSendsAnEmptyDatagramEveryThirtySeconds) {
    client::Client joiner;
    ASSERT_EQ(joiner.connect(address_), Error::none);
    ASSERT_EQ(joiner.join(70, T0), Error::none);
    ASSERT_TRUE(sent());
    std::optional<Bytes> ping = sent();
    ASSERT_TRUE(ping);
    (*ping)[4] = 8;
    reply(joiner.fd(), *ping);
    ASSERT_EQ(event_at(joiner, T0).kind, EventKind::joined);

    // Sending is being alive: the keep-alive counts from the last datagram sent.
    ASSERT_EQ(joiner.send("hi", 2, T0 + 10'000'000), Error::none);
    EXPECT_EQ(sent(), with_payload(header(MSG_DATA, 70), {'h', 'i'}));
    EXPECT_EQ(joiner.next_event(T0 + 39'999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(SHORT));
    EXPECT_EQ(joiner.next_event(T0 + 40'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(), header(MSG_DATA, 70));
    EXPECT_EQ(joiner.wait_ms(T0 + 40'000'000), 30000);
}

TEST_F(StandInRelay, LatePongIsTimedFromTheAttemptItAnswers) {
    client::Pinger pinger;
    ASSERT_EQ(pinger.connect(address_), Error::none);
    ASSERT_EQ(pinger.start(T0, 5'000'000), Error::none);
    std::optional<Bytes> first = sent();
    ASSERT_TRUE(first);
    EXPECT_EQ(pinger.next_event(T0 + 1'000'000).kind, EventKind::none);
    std::optional<Bytes> second = sent();
    ASSERT_TRUE(second);
    EXPECT_NE(value_of(*first), value_of(*second));
    (*second)[4] = 8;
    reply(pinger.fd(), *second);
    Event pong = event_at(pinger, T0 + 1'250'000);
    EXPECT_EQ(pong.kind, EventKind::pong);
    EXPECT_EQ(pong.value, 250'000u);

    // The first attempt's pong, arriving after its probe ended, is not a new answer.
    (*first)[4] = 8;
    reply(pinger.fd(), *first);
    ASSERT_EQ(pinger.start(T0 + 2'000'000, 1'000'000), Error::none);
    poll(nullptr, 0, 100);
    EXPECT_EQ(pinger.next_event(T0 + 2'100'000).kind, EventKind::none);
    EXPECT_EQ(pinger.next_event(T0 + 3'000'000).kind, EventKind::timed_out);
}

// Answers a spoofer could send: an id no room can have, an open nobody asked for, a tag
// outside 1-65535. None of them is reported or changes the host.
TEST_F(StandInRelay, HostIgnoresAnswersItCannotTrust) {
    client::Host host;
    ASSERT_EQ(host.connect(address_), Error::none);
    ASSERT_EQ(host.open(0, T0), Error::none);
    reply(host.fd(), header(MSG_OPENED, 0));
    reply(host.fd(), header(MSG_OPENED, MAX_ROOM_ID + 1));
    poll(nullptr, 0, 100);
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);
    EXPECT_EQ(host.state(), client::Host::State::opening);
    reply(host.fd(), header(MSG_OPENED, MAX_ROOM_ID));
    ASSERT_EQ(event_at(host, T0).kind, EventKind::opened);

    reply(host.fd(), header(MSG_OPENED, 71));  // no keep-alive is waiting for an answer
    reply(host.fd(), header(MSG_DATA, 0));
    reply(host.fd(), header(MSG_DATA, MAX_TAG + 1));
    reply(host.fd(), with_payload(header(MSG_DATA, MAX_TAG), {'x'}));
    Event data = event_at(host, T0);
    EXPECT_EQ(data.kind, EventKind::data);
    EXPECT_EQ(data.value, MAX_TAG);
    EXPECT_EQ(host.room_id(), MAX_ROOM_ID);
}

// Pings and joins start from values a blind spoofer cannot guess.
TEST_F(StandInRelay, PingAndJoinValuesStartUnpredictably) {
    uint32_t first_values[2][2] = {};
    for (auto& values : first_values) {
        client::Pinger pinger;
        ASSERT_EQ(pinger.connect(address_), Error::none);
        ASSERT_EQ(pinger.start(T0), Error::none);
        std::optional<Bytes> ping = sent();
        ASSERT_TRUE(ping);
        values[0] = value_of(*ping);
        client::Client joiner;
        ASSERT_EQ(joiner.connect(address_), Error::none);
        ASSERT_EQ(joiner.join(70, T0), Error::none);
        ASSERT_TRUE(sent());
        std::optional<Bytes> join_ping = sent();
        ASSERT_TRUE(join_ping);
        values[1] = value_of(*join_ping);
    }
    // Equal by chance once in 2^32 runs.
    EXPECT_NE(first_values[0][0], first_values[1][0]);
    EXPECT_NE(first_values[0][1], first_values[1][1]);
}

}  // namespace
}  // namespace kiv::test
