// The client library's state machines against a scripted stand-in relay: each endpoint is
// its state machine over an in-memory transport, and the test takes what it sent and
// delivers the relay's answers. Nothing is sent over a network, so a test sends, steps the
// state machine's clock by hand and reads what it sent, with no sleep.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "client/kiv_client.hpp"
#include "client/memory_transport.hpp"
#include "datagram.hpp"

namespace kiv::test {
namespace {

using client::Error;
using client::Event;
using client::EventKind;

using TestHost = client::InMemory<client::HostSession>;
using TestClient = client::InMemory<client::ClientSession>;
using TestPinger = client::InMemory<client::PingerSession>;

class StandInRelay : public ::testing::Test {
  protected:
    // The next datagram the endpoint sent, or nothing if it sent none.
    static std::optional<Bytes> sent(client::MemoryTransport& endpoint) {
        Bytes datagram(client::MemoryTransport::SLOT);
        size_t length = 0;
        if (!endpoint.take_sent(datagram.data(), &length)) return std::nullopt;
        datagram.resize(length);
        return datagram;
    }
    static void reply(client::MemoryTransport& endpoint, const Bytes& datagram) {
        ASSERT_TRUE(endpoint.deliver(datagram.data(), datagram.size()));
    }

    // A client joined to room 70 at T0: its join datagram and the ping after it, answered.
    void join_room(TestClient& joiner) {
        ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
        ASSERT_EQ(sent(joiner), header(MSG_DATA, 70));
        std::optional<Bytes> ping = sent(joiner);
        ASSERT_TRUE(ping);
        reply(joiner, header(MSG_PONG, value_of(*ping)));
        ASSERT_EQ(joiner.next_event(T0).kind, EventKind::joined);
    }

    static constexpr uint64_t T0 = 1'000'000'000;
};

TEST_F(StandInRelay, OpenIsResentEverySecondThenTimesOut) {
    TestHost host;
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

TEST_F(StandInRelay, OpenRoomIsAskedForAgainEveryTwoSeconds) {
    TestHost host;
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    ASSERT_TRUE(sent(host));
    reply(host, header(MSG_OPENED, 70));
    Event opened = host.next_event(T0);
    EXPECT_EQ(opened.kind, EventKind::opened);
    EXPECT_EQ(opened.room, RoomId(70));

    EXPECT_EQ(host.wait_ms(T0), 2000);
    EXPECT_EQ(host.next_event(T0 + 1'999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(host));
    EXPECT_EQ(host.next_event(T0 + 2'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 70));  // the room held, asked for again
    // The same id back is no news; the next keep-alive is due 2 s later.
    reply(host, header(MSG_OPENED, 70));
    EXPECT_EQ(host.next_event(T0 + 2'000'000).kind, EventKind::none);
    EXPECT_EQ(host.wait_ms(T0 + 2'000'000), 2000);

    // A relay that restarted and gave the id away hands out another: that is news.
    EXPECT_EQ(host.next_event(T0 + 4'000'000).kind, EventKind::none);
    EXPECT_EQ(sent(host), header(MSG_OPEN, 70));
    reply(host, header(MSG_OPENED, 71));
    Event moved = host.next_event(T0 + 4'000'000);
    EXPECT_EQ(moved.kind, EventKind::opened);
    EXPECT_EQ(moved.room, RoomId(71));
    EXPECT_EQ(host.room_id(), RoomId(71));
}

TEST_F(StandInRelay, BadVersionAndUnknownErrorsAreNamed) {
    TestHost host;
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    reply(host, error(ERR_BAD_VERSION));
    Event event = host.next_event(T0);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::bad_version);

    TestClient joiner;
    ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
    reply(joiner, header(MSG_ERROR, 9));
    event = joiner.next_event(T0);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::unknown_refusal);
}

// What a stranger could send is shut out by the socket itself (ClientLibrary tests, against
// the real relay); what remains is what the relay's own address might carry.
TEST_F(StandInRelay, MalformedDatagramsAreIgnored) {
    TestHost host;
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    reply(host, header(MSG_OPENED, 70, 2));  // another protocol version
    reply(host, Bytes{'K', 'I', 'V', 'R'});  // shorter than a header
    reply(host, with_payload(header(MSG_DATA, 1), Bytes(MAX_DATAGRAM, 'x')));  // too long
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);
    EXPECT_EQ(host.state(), client::Host::State::opening);
}

TEST_F(StandInRelay, JoinIsConfirmedByThePongAfterIt) {
    TestClient joiner;
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
    (*ping)[OFFSET_TYPE] = uint8_t(MsgType::MSG_PONG);
    reply(joiner, *ping);
    Event joined = joiner.next_event(T0 + 1'000'000);
    EXPECT_EQ(joined.kind, EventKind::joined);
    EXPECT_EQ(joined.room, RoomId(70));
}

// A relay that validates joins challenges the datagram that would join: the client echoes
// the cookie once, sends that datagram again, and counts itself in on the pong after them.
TEST_F(StandInRelay, ChallengeIsEchoedOnceWithTheDatagramItHeldBack) {
    const struct {
        const char* name;
        bool joined, lost;
        std::string_view sent, resent;
        EventKind after_pong;
    } cases[] = {
        {"joining, a line sent meanwhile", false, false, "ab", "ab", EventKind::joined},
        {"joined, its address changed", true, false, "hi", "hi", EventKind::none},
        {"re-joining after a restart", true, true, "hi", "", EventKind::joined},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient joiner;
        // A read ends after a batch, so one step may stop short of a datagram just delivered.
        auto step = [&](const Bytes& in) {
            reply(joiner, in);
            Event event = joiner.next_event(T0);
            return event.kind != EventKind::none ? event : joiner.next_event(T0);
        };
        if (c.joined) join_room(joiner);
        EXPECT_EQ(c.joined ? Error::none : joiner.join(RoomId(70), T0), Error::none);
        ASSERT_EQ(joiner.send(c.sent.data(), c.sent.size(), T0), Error::none);
        EXPECT_EQ(c.lost ? step(error(ERR_NO_ROOM)).kind : EventKind::lost, EventKind::lost);
        while (sent(joiner))
            continue;
        reply(joiner, header(MSG_CHALLENGE, 0xC0FFEE00));
        ASSERT_EQ(step(header(MSG_CHALLENGE, 7)).kind, EventKind::none);  // one echo only
        EXPECT_EQ(sent(joiner), datagram(MSG_JOIN, 70, {0x00, 0xEE, 0xFF, 0xC0}));
        EXPECT_EQ(sent(joiner), data(70, c.resent));
        std::optional<Bytes> ping = sent(joiner);
        ASSERT_TRUE(ping && type_of(*ping) == MSG_PING && !sent(joiner));
        EXPECT_EQ(step(header(MSG_PONG, value_of(*ping))).kind, c.after_pong);
        ASSERT_EQ(joiner.leave(), Error::none);
        EXPECT_TRUE(sent(joiner) && step(header(MSG_CHALLENGE, 2)).kind == EventKind::none);
        EXPECT_FALSE(sent(joiner));  // no echo once it has left
    }
}

// A client keeps its place by its own datagrams: an empty one 30 s after the last it sent,
// or 2 s after it when the relay has been silent too (a relay that restarted must hear from
// a client that only listens). The relay silent for 30 s is pinged.
TEST_F(StandInRelay, IdleClientKeepsItsPlaceAndPingsASilentRelay) {
    TestClient joiner;
    ASSERT_NO_FATAL_FAILURE(join_room(joiner));

    // Hearing the host's datagrams every second, the client's keep-alive waits 30 s.
    ASSERT_EQ(joiner.next_event(T0).kind, EventKind::none);
    ASSERT_EQ(joiner.send("hi", 2, T0), Error::none);
    EXPECT_EQ(sent(joiner), with_payload(header(MSG_DATA, 70), {'h', 'i'}));
    uint64_t t = T0;
    for (; t < T0 + client::KEEPALIVE_US; t += 1'000'000) {
        reply(joiner, with_payload(header(MSG_DATA, 0), {'x'}));
        ASSERT_EQ(joiner.next_event(t).kind, EventKind::data);
        ASSERT_EQ(joiner.next_event(t).kind, EventKind::none);
        ASSERT_FALSE(sent(joiner)) << (t - T0) / 1'000'000 << " s";
    }
    EXPECT_EQ(joiner.next_event(t).kind, EventKind::none);
    EXPECT_EQ(sent(joiner), header(MSG_DATA, 70));
    EXPECT_FALSE(sent(joiner));
    // The relay falls silent: two seconds on, and every two seconds, the keep-alive.
    uint64_t heard = t - 1'000'000;
    EXPECT_EQ(joiner.wait_ms(t), 2000);
    EXPECT_EQ(joiner.next_event(t + 1'999'999).kind, EventKind::none);
    EXPECT_FALSE(sent(joiner));
    for (uint64_t at = t + 2'000'000; at < heard + client::KEEPALIVE_US; at += 2'000'000) {
        EXPECT_EQ(joiner.next_event(at).kind, EventKind::none);
        EXPECT_EQ(sent(joiner), header(MSG_DATA, 70)) << (at - heard) / 1'000'000 << " s";
        EXPECT_FALSE(sent(joiner));
    }
    // 30 s without a word from it, and it is pinged.
    EXPECT_EQ(joiner.next_event(heard + client::KEEPALIVE_US).kind, EventKind::none);
    std::optional<Bytes> probe = sent(joiner);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->at(4), 7);
}

TEST_F(StandInRelay, LatePongIsTimedFromTheAttemptItAnswers) {
    TestPinger pinger;
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
    TestHost host;
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    reply(host, header(MSG_OPENED, 0));
    reply(host, header(MSG_OPENED, MAX_ROOM_ID + 1));
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);
    EXPECT_EQ(host.state(), client::Host::State::opening);
    reply(host, header(MSG_OPENED, MAX_ROOM_ID));
    ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);
    EXPECT_EQ(host.next_event(T0).kind, EventKind::none);  // the end of that read

    reply(host, header(MSG_OPENED, 71));  // no keep-alive is waiting for an answer
    reply(host, header(MSG_DATA, 0));
    reply(host, header(MSG_DATA, MAX_TAG + 1));
    reply(host, with_payload(header(MSG_DATA, MAX_TAG), {'x'}));
    Event joined = host.next_event(T0);
    EXPECT_EQ(joined.kind, EventKind::client_joined);
    EXPECT_EQ(joined.tag, Tag(MAX_TAG));
    Event data = host.next_event(T0);
    EXPECT_EQ(data.kind, EventKind::data);
    EXPECT_EQ(data.tag, Tag(MAX_TAG));
    EXPECT_EQ(host.room_id(), RoomId(MAX_ROOM_ID));
}

// Pings and joins start from values a blind spoofer cannot guess.
TEST_F(StandInRelay, PingAndJoinValuesStartUnpredictably) {
    uint32_t first_values[2][2] = {};
    for (auto& values : first_values) {
        TestPinger pinger;
        ASSERT_EQ(pinger.start(T0), Error::none);
        std::optional<Bytes> ping = sent(pinger);
        ASSERT_TRUE(ping);
        values[0] = value_of(*ping);
        TestClient joiner;
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
    TestHost host;
    ASSERT_EQ(host.open(RoomId(), T0), Error::none);
    ASSERT_TRUE(sent(host));
    reply(host, header(MSG_OPENED, 70));
    ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);

    std::vector<uint8_t> large(client::MAX_PAYLOAD + 1);
    std::vector<iovec> payloads(client::SEND_BATCH + 1, iovec{large.data(), 1});
    EXPECT_EQ(host.send_batch(Tag(1), payloads.data(), payloads.size(), 0), Error::too_many);
    EXPECT_STREQ(client::error_text(Error::too_many),
                 "too many datagrams in one batch (at most 32)");
    payloads[3].iov_len = large.size();
    EXPECT_EQ(host.send_batch(Tag(1), payloads.data(), client::SEND_BATCH, 0), Error::too_large);
    EXPECT_FALSE(sent(host));
    EXPECT_EQ(host.send_batch(Tag(1), payloads.data(), 3, 0), Error::none);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sent(host), with_payload(header(MSG_DATA, 1), {0}));
    EXPECT_FALSE(sent(host));
}

// ---- A relay that restarts or goes silent

TEST_F(StandInRelay, ClientToldNoSuchRoomRejoinsUntilTheHostIsBackOrTheRelayWouldForget) {
    struct Case {
        const char* name;
        uint64_t host_back_after_us;  // 0: never
    };
    for (Case c : {Case{"host back after 5 s", 5'000'000}, Case{"host never back", 0}}) {
        SCOPED_TRACE(c.name);
        TestClient joiner;
        ASSERT_NO_FATAL_FAILURE(join_room(joiner));

        // The relay restarted: the next datagram is refused, and the client starts over.
        uint64_t t1 = T0 + 10'000'000;
        ASSERT_EQ(joiner.send("a", 1, t1), Error::none);
        EXPECT_EQ(sent(joiner), with_payload(header(MSG_DATA, 70), {'a'}));
        reply(joiner, error(ERR_NO_ROOM));
        EXPECT_EQ(joiner.next_event(t1).kind, EventKind::none);  // the end of the last read
        Event lost = joiner.next_event(t1);
        EXPECT_EQ(lost.kind, EventKind::lost);
        EXPECT_EQ(lost.error, Error::no_room);
        EXPECT_EQ(lost.room, RoomId(70));
        EXPECT_EQ(joiner.state(), client::Client::State::rejoining);
        // What the application sends meanwhile stays here.
        EXPECT_EQ(joiner.send("b", 1, t1), Error::not_ready);
        uint64_t back_us = c.host_back_after_us ? t1 + c.host_back_after_us : 0;
        uint64_t t = t1;
        for (; t < t1 + client::RELAY_TIMEOUT_US; t += client::RETRY_US) {
            if (t > t1) {
                EXPECT_EQ(joiner.next_event(t).kind, EventKind::none);
            }
            // Every second a re-join: an empty datagram and a ping of its own.
            ASSERT_EQ(sent(joiner), header(MSG_DATA, 70)) << (t - t1) / 1000 << " ms";
            std::optional<Bytes> attempt = sent(joiner);
            ASSERT_TRUE(attempt);
            EXPECT_EQ(attempt->at(4), 7);
            EXPECT_FALSE(sent(joiner));
            (*attempt)[4] = 8;
            if (back_us != 0 && t >= back_us) {
                reply(joiner, *attempt);
                Event joined = joiner.next_event(t);
                EXPECT_EQ(joined.kind, EventKind::joined);
                EXPECT_EQ(joined.room, RoomId(70));
                break;
            }
            // Refused, then the pong of that same attempt: not a join that went through.
            reply(joiner, error(ERR_NO_ROOM));
            reply(joiner, *attempt);
            EXPECT_EQ(joiner.next_event(t).kind, EventKind::none);
            EXPECT_EQ(joiner.next_event(t).kind, EventKind::none);
        }
        if (back_us != 0) {
            EXPECT_EQ(t, back_us);
            EXPECT_EQ(joiner.state(), client::Client::State::joined);
            EXPECT_EQ(joiner.send("c", 1, t), Error::none);
            continue;
        }
        Event gave_up = joiner.next_event(t1 + client::RELAY_TIMEOUT_US);
        EXPECT_EQ(gave_up.kind, EventKind::refused);
        EXPECT_EQ(gave_up.error, Error::no_room);
        EXPECT_EQ(joiner.state(), client::Client::State::idle);
    }
}

// A client that only sends hears nothing from the relay: after a keep-alive's worth of
// silence it pings every second, reports the relay lost three seconds later, and gives up
// when the relay would have forgotten it. A pong in time is all it takes to stay.
TEST_F(StandInRelay, ClientPingsASilentRelayAndGivesUpOnlyAfterTheRelaysTimeOut) {
    for (bool relay_answers : {true, false}) {
        SCOPED_TRACE(relay_answers ? "relay answers" : "relay gone");
        TestClient joiner;
        ASSERT_NO_FATAL_FAILURE(join_room(joiner));
        // Datagrams out every second keep the place; they are no sign of the relay.
        for (uint64_t t = T0 + 1'000'000; t < T0 + client::KEEPALIVE_US; t += 1'000'000) {
            ASSERT_EQ(joiner.send("x", 1, t), Error::none);
            ASSERT_EQ(joiner.next_event(t).kind, EventKind::none);
            ASSERT_TRUE(sent(joiner));
            ASSERT_FALSE(sent(joiner));
        }
        uint64_t quiet = T0 + client::KEEPALIVE_US;
        EXPECT_EQ(joiner.wait_ms(quiet - 1'000'000), 1000);
        EXPECT_EQ(joiner.next_event(quiet).kind, EventKind::none);
        std::optional<Bytes> probe = sent(joiner);
        ASSERT_TRUE(probe);
        EXPECT_EQ(probe->at(4), 7);
        EXPECT_EQ(joiner.next_event(quiet + 999'999).kind, EventKind::none);
        EXPECT_FALSE(sent(joiner));
        // Two seconds without a datagram either way: the keep-alive goes early, then the
        // ping again.
        EXPECT_EQ(joiner.next_event(quiet + 1'000'000).kind, EventKind::none);
        EXPECT_EQ(sent(joiner), header(MSG_DATA, 70));
        EXPECT_EQ(sent(joiner), probe);
        if (relay_answers) {
            (*probe)[4] = 8;
            reply(joiner, *probe);
            EXPECT_EQ(joiner.next_event(quiet + 1'500'000).kind, EventKind::none);
            EXPECT_EQ(joiner.next_event(quiet + 5'000'000).kind, EventKind::none);
            EXPECT_EQ(joiner.state(), client::Client::State::joined);
            continue;
        }
        EXPECT_EQ(joiner.next_event(quiet + 2'000'000).kind, EventKind::none);
        EXPECT_EQ(sent(joiner), probe);
        EXPECT_FALSE(sent(joiner));
        Event lost = joiner.next_event(quiet + client::LOST_AFTER_US);
        EXPECT_EQ(lost.kind, EventKind::lost);
        EXPECT_EQ(lost.error, Error::timed_out);
        Event before = joiner.next_event(T0 + client::RELAY_TIMEOUT_US - 1);
        EXPECT_EQ(before.kind, EventKind::none);
        Event gave_up = joiner.next_event(T0 + client::RELAY_TIMEOUT_US);
        EXPECT_EQ(gave_up.kind, EventKind::timed_out);
        EXPECT_EQ(joiner.state(), client::Client::State::idle);
    }
}

// A host asks for its room every HOST_KEEPALIVE_US. When the relay stops answering or says
// it does not know the room, the host reports it lost and asks again every second, sending
// nothing else meanwhile; the answer is news even under the same id. It gives up when the
// relay would have forgotten the room.
TEST_F(StandInRelay, HostAsksForItsRoomAgainAfterARestart) {
    enum class Loss { unanswered_keepalive, refused_data, never_back };
    for (Loss loss : {Loss::unanswered_keepalive, Loss::refused_data, Loss::never_back}) {
        SCOPED_TRACE(int(loss));
        TestHost host;
        ASSERT_EQ(host.open(RoomId(70), T0), Error::none);
        ASSERT_EQ(sent(host), header(MSG_OPEN, 70));
        reply(host, header(MSG_OPENED, 70));
        ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);
        EXPECT_EQ(host.wait_ms(T0), int(client::HOST_KEEPALIVE_US / 1000));
        uint64_t keepalive = T0 + client::HOST_KEEPALIVE_US;
        EXPECT_EQ(host.next_event(keepalive).kind, EventKind::none);
        EXPECT_EQ(sent(host), header(MSG_OPEN, 70));

        uint64_t lost_at = 0;
        if (loss == Loss::refused_data) {
            reply(host, header(MSG_OPENED, 70));
            EXPECT_EQ(host.next_event(keepalive).kind, EventKind::none);
            lost_at = keepalive + 500'000;
            ASSERT_EQ(host.send(Tag(1), "x", 1, T0), Error::none);
            ASSERT_TRUE(sent(host));
            reply(host, error(ERR_NO_ROOM));
        } else {
            EXPECT_EQ(host.next_event(keepalive + 1'000'000).kind, EventKind::none);
            EXPECT_EQ(sent(host), header(MSG_OPEN, 70));
            EXPECT_EQ(host.next_event(keepalive + 2'000'000).kind, EventKind::none);
            EXPECT_EQ(sent(host), header(MSG_OPEN, 70));
            lost_at = keepalive + client::LOST_AFTER_US;
        }
        Event lost = host.next_event(lost_at);
        EXPECT_EQ(lost.kind, EventKind::lost);
        EXPECT_EQ(lost.error, loss == Loss::refused_data ? Error::no_room : Error::timed_out);
        EXPECT_EQ(lost.room, RoomId(70));
        EXPECT_EQ(sent(host), header(MSG_OPEN, 70));
        EXPECT_EQ(host.send(Tag(1), "x", 1, T0), Error::not_ready);
        reply(host, error(ERR_NO_ROOM));  // an answer to a datagram sent before
        EXPECT_EQ(host.next_event(lost_at).kind, EventKind::none);
        EXPECT_EQ(host.next_event(lost_at + 1'000'000).kind, EventKind::none);
        EXPECT_EQ(sent(host), header(MSG_OPEN, 70));
        EXPECT_FALSE(sent(host));
        if (loss != Loss::never_back) {
            reply(host, header(MSG_OPENED, 70));
            Event back = host.next_event(lost_at + 1'200'000);
            EXPECT_EQ(back.kind, EventKind::opened);
            EXPECT_EQ(back.room, RoomId(70));
            EXPECT_EQ(host.state(), client::Host::State::open);
            EXPECT_EQ(host.send(Tag(1), "x", 1, T0), Error::none);
            continue;
        }
        // Given up when the relay would have forgotten the room: 60 s after its last word.
        uint64_t last_heard = T0;
        EXPECT_EQ(host.next_event(last_heard + client::RELAY_TIMEOUT_US - 1).kind, EventKind::none);
        EXPECT_EQ(host.next_event(last_heard + client::RELAY_TIMEOUT_US).kind,
                  EventKind::timed_out);
        EXPECT_EQ(host.state(), client::Host::State::closed);
    }
}

// A client that checks its host learns who it is once joined and asks again every 2 s, or
// after a re-join before anything else; it stops when another host answers, and when none
// does it is lost (in the room) or stops (after a re-join).
TEST_F(StandInRelay, ClientCheckingItsHostGoesOnOnlyWithTheHostItJoined) {
    auto answer = [](uint64_t identity) {
        Bytes payload(client::HOST_ANSWER_SIZE);
        client::host_answer_write(identity, payload.data());
        return with_payload(header(MSG_DATA, 0), payload);
    };
    Bytes question(client::HOST_QUESTION_SIZE);
    client::host_question_write(question.data());
    struct Case {
        bool rejoin;  // the relay lost the room first
        std::optional<uint64_t> answered;
        EventKind kind;
        Error error;
    };
    for (Case c : {Case{false, 0xA11CE, EventKind::none, Error::none},
                   Case{false, 0xB0B, EventKind::refused, Error::other_host},
                   Case{false, std::nullopt, EventKind::lost, Error::no_host},
                   Case{true, 0xA11CE, EventKind::joined, Error::none},
                   Case{true, 0xB0B, EventKind::refused, Error::other_host},
                   Case{true, std::nullopt, EventKind::refused, Error::no_host}}) {
        SCOPED_TRACE(testing::Message() << c.rejoin << " " << int(c.error));
        TestClient joiner;
        joiner.check_host(true);
        ASSERT_NO_FATAL_FAILURE(join_room(joiner));
        EXPECT_EQ(joiner.next_event(T0).kind, EventKind::none);
        EXPECT_EQ(sent(joiner), with_payload(header(MSG_DATA, 70), question));
        reply(joiner, answer(0xA11CE));
        EXPECT_EQ(joiner.next_event(T0).kind, EventKind::none);  // the answer is no data
        uint64_t t = T0;
        if (c.rejoin) {
            reply(joiner, error(ERR_NO_ROOM));
            EXPECT_EQ(joiner.next_event(t).kind, EventKind::lost);
            EXPECT_EQ(sent(joiner), header(MSG_DATA, 70));
            std::optional<Bytes> ping = sent(joiner);
            reply(joiner, header(MSG_PONG, value_of(*ping)));
            reply(joiner, data(0, "from whoever holds the room now"));
            EXPECT_EQ(joiner.next_event(t).kind, EventKind::none);  // back, not yet joined
            EXPECT_EQ(joiner.next_event(t).kind, EventKind::none);
            EXPECT_EQ(joiner.send("x", 1, t), Error::not_ready);
        }
        uint64_t step = c.rejoin ? client::RETRY_US : client::HOST_RECHECK_US;
        auto next_not_data = [&joiner](uint64_t now_us) {
            Event event;
            while ((event = joiner.next_event(now_us)).kind == EventKind::data) {
            }
            return event;
        };
        Event last;
        for (t += c.rejoin ? 0 : step; t <= T0 + 6'000'000; t += step) {
            if ((last = next_not_data(t)).kind != EventKind::none) break;
            while (std::optional<Bytes> keepalive = sent(joiner)) {
                if (*keepalive == with_payload(header(MSG_DATA, 70), question)) break;
                ASSERT_EQ(*keepalive, header(MSG_DATA, 70));
            }
            // Someone else's room: datagrams, but no answer.
            reply(joiner, c.answered ? answer(*c.answered) : data(0, "not an answer"));
            if ((last = next_not_data(t)).kind != EventKind::none) break;
        }
        EXPECT_EQ(last.kind, c.kind);
        EXPECT_EQ(last.error, c.error);
        bool in_room = c.kind == EventKind::none || c.kind == EventKind::joined;
        EXPECT_EQ(joiner.send("x", 1, t) == Error::none, in_room);
    }
}

// A host that names itself answers the question to the client that asked, and keeps it from
// the application; one that names none hands it on as any datagram.
TEST_F(StandInRelay, HostAnswersWhoItIsOnlyWhenItNamesItself) {
    Bytes question(client::HOST_QUESTION_SIZE);
    client::host_question_write(question.data());
    for (uint64_t identity : {uint64_t(0), uint64_t(0xA11CE)}) {
        TestHost host;
        host.set_identity(identity);
        ASSERT_EQ(host.open(RoomId(70), T0), Error::none);
        ASSERT_TRUE(sent(host));
        reply(host, header(MSG_OPENED, 70));
        ASSERT_EQ(host.next_event(T0).kind, EventKind::opened);
        ASSERT_EQ(host.next_event(T0).kind, EventKind::none);  // the end of that read
        reply(host, header(MSG_DATA, 5));
        reply(host, with_payload(header(MSG_DATA, 5), question));
        EXPECT_EQ(host.next_event(T0).kind, EventKind::client_joined);
        EXPECT_EQ(host.next_event(T0).kind, EventKind::data);  // the empty join datagram
        Event next = host.next_event(T0);
        EXPECT_EQ(next.kind, identity ? EventKind::none : EventKind::data);
        std::optional<Bytes> answer = sent(host);
        EXPECT_EQ(answer.has_value(), identity != 0);
        uint64_t named = 0;
        if (answer) {
            EXPECT_EQ(value_of(*answer), 5u);
            EXPECT_TRUE(client::host_answer_read(answer->data() + HEADER_SIZE,
                                                 answer->size() - HEADER_SIZE, &named));
        }
        EXPECT_EQ(named, identity);
    }
}

}  // namespace
}  // namespace kiv::test
