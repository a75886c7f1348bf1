// The client library's state machines against a scripted stand-in relay: each endpoint gets
// one end of a datagram socketpair and the test holds the other. A datagram written to one
// end is queued at the other before the call returns, so a test sends, steps the library's
// clock by hand and reads what it sent, with no sleep and no network.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

#include "kiv_client.hpp"
#include "relay_process.hpp"

namespace kiv::test {
namespace {

using client::Error;
using client::Event;
using client::EventKind;

class StandInRelay : public ::testing::Test {
  protected:
    ~StandInRelay() override {
        for (auto [endpoint_fd, relay_end] : relay_end_)
            close(relay_end);
    }

    // Connects the endpoint to the stand-in through a socketpair of its own.
    template <class Endpoint>
    void attach(Endpoint& endpoint) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends), 0);
        ASSERT_EQ(endpoint.attach(ends[0]), Error::none);
        relay_end_[endpoint.fd()] = ends[1];
    }
    // The next datagram the endpoint sent, or nothing if it sent none.
    template <class Endpoint>
    std::optional<Bytes> sent(const Endpoint& endpoint) {
        Bytes datagram(client::MAX_PAYLOAD * 2);
        ssize_t n =
            recv(relay_end_.at(endpoint.fd()), datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (n < 0) return std::nullopt;
        datagram.resize(size_t(n));
        return datagram;
    }
    template <class Endpoint>
    void reply(const Endpoint& endpoint, const Bytes& datagram) {
        ASSERT_EQ(send(relay_end_.at(endpoint.fd()), datagram.data(), datagram.size(), 0),
                  ssize_t(datagram.size()));
    }

    std::map<int, int> relay_end_;  // endpoint's descriptor -> the stand-in's end
    static constexpr uint64_t T0 = 1'000'000'000;
};

TEST_F(StandInRelay, OpenIsResentEverySecondThenTimesOut) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0, 3'000'000), Error::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 0));
    EXPECT_EQ(host.wait_ms(T0), 1000);
    EXPECT_EQ(host.next_event(T0 + 999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(host));
    EXPECT_EQ(host.next_event(T0 + 1'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 0));
    EXPECT_EQ(host.next_event(T0 + 2'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 0));
    Event event = host.next_event(T0 + 3'000'000);
    EXPECT_EQ(event.kind, EventKind::timed_out);
    EXPECT_EQ(event.error, Error::timed_out);
    EXPECT_EQ(host.state(), client::Host::State::closed);
    EXPECT_STREQ(client::error_text(event.error), "relay did not answer");
}

TEST_F(StandInRelay, OpenRoomIsKeptAliveEveryThirtySeconds) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    ASSERT_TRUE(sent(host));
    reply(host, header(MSG_OPENED, 70));
    Event opened = host.next_event(T0);
    EXPECT_EQ(opened.kind, EventKind::opened);
    EXPECT_EQ(opened.room, RoomId(70));

    EXPECT_EQ(host.wait_ms(T0), 30000);
    EXPECT_EQ(host.next_event(T0 + 29'999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(host));
    EXPECT_EQ(host.next_event(T0 + 30'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 70));  // the room held, asked for again
    // The same id back is no news; the next keep-alive is due 30 s later.
    reply(host, header(MSG_OPENED, 70));
    EXPECT_EQ(host.next_event(T0 + 30'000'000).kind, EventKind::none);
    EXPECT_EQ(host.wait_ms(T0 + 30'000'000), 30000);

    // A relay that restarted and gave the id away hands out another: that is news.
    EXPECT_EQ(host.next_event(T0 + 60'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 70));
    reply(host, header(MSG_OPENED, 71));
    Event moved = host.next_event(T0 + 60'000'000);
    EXPECT_EQ(moved.kind, EventKind::opened);
    EXPECT_EQ(moved.room, RoomId(71));
    EXPECT_EQ(host.room_id(), RoomId(71));
}

TEST_F(StandInRelay, UnansweredKeepAliveEndsTheRoom) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0, 2'000'000), Error::none);
    reply(host, header(MSG_OPENED, 70));
    ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);
    EXPECT_EQ(host.next_event(T0 + 30'000'000).kind, EventKind::none);
    EXPECT_EQ(host.next_event(T0 + 32'000'000).kind, EventKind::timed_out);
}

TEST_F(StandInRelay, BadVersionAndUnknownErrorsAreNamed) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    reply(host, error(ERR_BAD_VERSION));
    Event event = host.next_event(T0);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::bad_version);

    client::Client joiner;
    attach(joiner);
    ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
    reply(joiner, header(MSG_ERROR, 9));
    event = joiner.next_event(T0);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::unknown_refusal);
}

// What a stranger could send is shut out by the socket itself (ClientLibrary tests, against
// the real relay); what remains is what the relay's own address might carry.
TEST_F(StandInRelay, MalformedDatagramsAreIgnored) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    reply(host, header(MSG_OPENED, 70, 2));  // another protocol version
    reply(host, Bytes{'K', 'I', 'V', 'R'});  // shorter than a header
    reply(host, with_payload(header(MSG_DATA, 1), Bytes(MAX_DATAGRAM, 'x')));  // too long
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);
    EXPECT_EQ(host.state(), client::Host::State::opening);
}

TEST_F(StandInRelay, JoinIsConfirmedByThePongAfterIt) {
    client::Client joiner;
    attach(joiner);
    ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
    EXPECT_EQ(sent(joiner), header(MSG_DATA, 70));
    std::optional<Bytes> ping = sent(joiner);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->at(4), 7);
    // A pong to something else does not confirm the join; the join is re-sent meanwhile.
    reply(joiner, header(MSG_PONG, value_of(*ping) + 1));
    EXPECT_EQ(joiner.next_event(T0 + 1'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(joiner), header(MSG_DATA, 70));
    EXPECT_EQ(sent(joiner), *ping);
    reply(joiner, *ping);
    (*ping)[4] = 8;
    reply(joiner, *ping);
    Event joined = joiner.next_event(T0 + 1'000'000);
    EXPECT_EQ(joined.kind, EventKind::joined);
    EXPECT_EQ(joined.room, RoomId(70));
}

TEST_F(StandInRelay, IdleClientSendsAnEmptyDatagramEveryThirtySeconds) {
    client::Client joiner;
    attach(joiner);
    ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
    ASSERT_TRUE(sent(joiner));
    std::optional<Bytes> ping = sent(joiner);
    ASSERT_TRUE(ping);
    (*ping)[4] = 8;
    reply(joiner, *ping);
    ASSERT_EQ(joiner.next_event(T0).kind, EventKind::joined);

    // Sending is being alive: the keep-alive counts from the last datagram sent.
    ASSERT_EQ(joiner.send("hi", 2, T0 + 10'000'000), Error::none);
    EXPECT_EQ(sent(joiner), with_payload(header(MSG_DATA, 70), {'h', 'i'}));
    EXPECT_EQ(joiner.next_event(T0 + 39'999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(joiner));
    EXPECT_EQ(joiner.next_event(T0 + 40'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(joiner), header(MSG_DATA, 70));
    EXPECT_EQ(joiner.wait_ms(T0 + 40'000'000), 30000);
}

TEST_F(StandInRelay, LatePongIsTimedFromTheAttemptItAnswers) {
    client::Pinger pinger;
    attach(pinger);
    ASSERT_EQ(pinger.start(T0, 5'000'000), Error::none);
    std::optional<Bytes> first = sent(pinger);
    ASSERT_TRUE(first);
    EXPECT_EQ(pinger.next_event(T0 + 1'000'000).kind, EventKind::none);
    std::optional<Bytes> second = sent(pinger);
    ASSERT_TRUE(second);
    EXPECT_NE(value_of(*first), value_of(*second));
    (*second)[4] = 8;
    reply(pinger, *second);
    Event pong = pinger.next_event(T0 + 1'250'000);
    EXPECT_EQ(pong.kind, EventKind::pong);
    EXPECT_EQ(pong.round_trip_us, 250'000u);

    // The first attempt's pong, arriving after its probe ended, is not a new answer.
    (*first)[4] = 8;
    reply(pinger, *first);
    ASSERT_EQ(pinger.start(T0 + 2'000'000, 1'000'000), Error::none);
    EXPECT_EQ(pinger.next_event(T0 + 2'100'000).kind, EventKind::none);
    EXPECT_EQ(pinger.next_event(T0 + 3'000'000).kind, EventKind::timed_out);
}

// Answers a spoofer could send: an id no room can have, an open nobody asked for, a tag
// outside 1-65535. None of them is reported or changes the host.
TEST_F(StandInRelay, HostIgnoresAnswersItCannotTrust) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    reply(host, header(MSG_OPENED, 0));
    reply(host, header(MSG_OPENED, MAX_ROOM_ID + 1));
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);
    EXPECT_EQ(host.state(), client::Host::State::opening);
    reply(host, header(MSG_OPENED, MAX_ROOM_ID));
    ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);

    reply(host, header(MSG_OPENED, 71));  // no keep-alive is waiting for an answer
    reply(host, header(MSG_DATA, 0));
    reply(host, header(MSG_DATA, MAX_TAG + 1));
    reply(host, with_payload(header(MSG_DATA, MAX_TAG), {'x'}));
    Event data = host.next_event(T0);
    EXPECT_EQ(data.kind, EventKind::data);
    EXPECT_EQ(data.tag, Tag(MAX_TAG));
    EXPECT_EQ(host.room_id(), RoomId(MAX_ROOM_ID));
}

// Pings and joins start from values a blind spoofer cannot guess.
TEST_F(StandInRelay, PingAndJoinValuesStartUnpredictably) {
    uint32_t first_values[2][2] = {};
    for (auto& values : first_values) {
        client::Pinger pinger;
        attach(pinger);
        ASSERT_EQ(pinger.start(T0), Error::none);
        std::optional<Bytes> ping = sent(pinger);
        ASSERT_TRUE(ping);
        values[0] = value_of(*ping);
        client::Client joiner;
        attach(joiner);
        ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
        ASSERT_TRUE(sent(joiner));
        std::optional<Bytes> join_ping = sent(joiner);
        ASSERT_TRUE(join_ping);
        values[1] = value_of(*join_ping);
    }
    // Equal by chance once in 2^32 runs.
    EXPECT_NE(first_values[0][0], first_values[1][0]);
    EXPECT_NE(first_values[0][1], first_values[1][1]);
}

// A batch is bounded twice: by its count (too_many) and by each payload (too_large); a
// refused batch sends nothing.
TEST_F(StandInRelay, BatchesOverTheirBoundsAreRefusedWhole) {
    client::Host host;
    attach(host);
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    ASSERT_TRUE(sent(host));
    reply(host, header(MSG_OPENED, 70));
    ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);

    std::vector<uint8_t> large(client::MAX_PAYLOAD + 1);
    std::vector<iovec> payloads(client::SEND_BATCH + 1, iovec{large.data(), 1});
    EXPECT_EQ(host.send_batch(Tag(1), payloads.data(), payloads.size()), Error::too_many);
    EXPECT_STREQ(client::error_text(Error::too_many),
                 "too many datagrams in one batch (at most 32)");
    payloads[3].iov_len = large.size();
    EXPECT_EQ(host.send_batch(Tag(1), payloads.data(), client::SEND_BATCH), Error::too_large);
    EXPECT_FALSE(sent(host));
    EXPECT_EQ(host.send_batch(Tag(1), payloads.data(), 3), Error::none);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sent(host), with_payload(header(MSG_DATA, 1), {0}));
    EXPECT_FALSE(sent(host));
}

// A failed connect leaves no socket behind: nothing to wait on that could never be read.
TEST_F(StandInRelay, FailedConnectKeepsNoSocket) {
    client::Pinger pinger;
    attach(pinger);
    ASSERT_GE(pinger.fd(), 0);
    close(relay_end_.at(pinger.fd()));
    relay_end_.erase(pinger.fd());
    EXPECT_EQ(pinger.connect(kiv::Peer()), Error::system);
    EXPECT_EQ(pinger.fd(), -1);
    EXPECT_NE(pinger.system_errno(), 0);
    EXPECT_EQ(pinger.start(T0), Error::not_ready);
}

}  // namespace
}  // namespace kiv::test
