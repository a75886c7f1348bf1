// The tunnel's two session machines, one input at a time on a clock the tests step: who a tag
// is, what a relay restart changes, who gets a socket or a place; a row says all one input asks
// for. (That a datagram of any size crosses between the two is tunnel_test's, by the relay.)
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tunnel/forward_session.hpp"
#include "tunnel/listen_session.hpp"
#include "tunnel/rules.hpp"
#include "wire/room_code.hpp"

namespace kiv::tunnel {
namespace {

using Bytes = std::vector<uint8_t>;
using client::EventKind;
constexpr uint64_t MS = 1000, SECOND = 1000 * MS, IDENTITY = 42;
const std::string RELAY = "127.0.0.1:9";
// How a join that finds another host in its room, or none, says it stops.
const std::string STOP = "kiv join: room " + std::string(room_code(RoomId(5))) + " (id 5) on " +
                         RELAY + ": ",
                  NOT_JOINED = ", not the host this join joined; stopping\n";

Bytes hello(uint64_t identity, FrameKind kind = FrameKind::hello) {
    Bytes frame(HELLO_SIZE);
    return write_hello(frame.data(), kind, identity), frame;
}
Bytes welcome(uint64_t identity, uint16_t binding, uint64_t host = 0) {
    Bytes frame(WELCOME_SIZE);
    return write_welcome(frame.data(), identity, binding, host), frame;
}
Bytes whole(uint16_t channel, uint16_t generation, uint16_t binding, size_t length) {
    Bytes payload(length, 'w'), frame(WHOLE_HEADER + length);
    return write_whole(frame.data(), channel, generation, binding, payload.data(), length), frame;
}

// One line an action: its kind, whom it is for, and its size or line.
std::string summary(const Actions& actions) {
    static const char* const KINDS[] = {"open", "close", "close all", "deliver", "send",    "queue",
                                        "take", "leave", "drop",      "",        "oversize"};
    static const char* const FRAMES[] = {"raw", "hello", "welcome", "whole", "piece", "who"};
    std::string lines;
    for (const Action& action : actions) {
        std::string line = action.kind <= ActionKind::oversize ? KINDS[int(action.kind)] : "";
        char to[Peer::TEXT_CAPACITY] = {};
        if (action.to != nullptr) action.to->write_text(to, sizeof to);
        if (action.kind == ActionKind::send) {
            Frame frame = parse_frame(action.data, action.length);
            line += " " + std::to_string(action.tag.valid() ? action.tag.value : action.target) +
                    " " + FRAMES[int(frame.kind)] +
                    (frame.kind == FrameKind::welcome ? " " + std::to_string(frame.binding) : "");
        } else if (action.kind == ActionKind::deliver || action.kind == ActionKind::queue) {
            line += " " + (*to != 0 ? std::string(to) : std::to_string(action.target)) + " " +
                    std::to_string(action.length);
        } else if (action.kind == ActionKind::oversize) {
            line += " " + std::to_string(action.length);
        } else if (action.kind != ActionKind::close_all && action.kind <= ActionKind::drop_place) {
            line += " " + std::to_string(action.target);
        }
        if (action.text != nullptr) line += (line.empty() ? "" : " ") + std::string(action.text);
        lines += line + "\n";
    }
    return lines;
}

client::Event event(EventKind kind, uint32_t value = 0, const Bytes& payload = {},
                    client::Error error = client::Error::none) {
    return {kind, error, RoomId(value), Tag(value), 0, payload.data(), payload.size()};
}

// Both sessions and their buffers; heap-held, as they are megabytes. Each input's actions
// come back summed up, once the session's rules are checked.
struct Ends {
    std::unique_ptr<ForwardSession> host = std::make_unique<ForwardSession>();
    std::unique_ptr<ListenSession> join = std::make_unique<ListenSession>();
    std::unique_ptr<Actions> actions = std::make_unique<Actions>();
    std::unique_ptr<Outbox> frames = std::make_unique<Outbox>();
    ListenSession::Outcome outcome{};

    Ends() {
        host->start(RELAY.c_str(), 100);
        join->start(IDENTITY, RoomId(5), RELAY.c_str(), room_code(RoomId(5)), *actions);
    }
    template <typename Input>
    std::string run(Input input) {
        actions->clear();
        input();
        EXPECT_TRUE(host->table().consistent() && join->consistent());
        return summary(*actions);
    }
    std::string at_host(uint64_t now_us, const client::Event& input) {
        return run([&] { host->on_relay(input, now_us, *actions); });
    }
    std::string at_join(uint64_t now_us, int place, const client::Event& input) {
        return run([&] { outcome = join->on_relay(place, input, now_us, *actions); });
    }
    std::string from_local(uint64_t now_us, uint16_t port, const Bytes& payload) {
        return run([&] {
            join->from_application(Peer::ipv4(0x7F000001, port), payload.data(), payload.size(),
                                   now_us, *frames, *actions);
        });
    }
    std::string join_tick(uint64_t now_us) {
        return run([&] { join->tick(now_us, *actions); });
    }
};

TEST(ForwardSession, WhoATagIsAcrossHellosBindingsAndARelayRestart) {
    Ends ends;
    std::string code5 = room_code(RoomId(5)), code6 = room_code(RoomId(6));
    Bytes lookalike = whole(0, 1, 7, 1);  // a plain payload that passes for a frame
    std::string announced = "room " + code5 + " (id 5)\nkiv host: clients join with: kiv join " +
                            RELAY + " " + code5 + " --listen ADDR:PORT\n";
    std::string moved = "kiv host: the relay gave a new room " + code6 +
                        " (id 6); clients must join it\nclose all\n";
    const struct {
        uint64_t at_ms;
        EventKind kind;
        uint32_t value;
        Bytes payload;
        std::string expected;
    } steps[] = {
        {0, EventKind::opened, 5, {}, announced},
        {10, EventKind::data, 1, {'a', 'b'}, "open 0\ndeliver 0 2\n"},
        {20, EventKind::data, 1, {}, ""},
        {30, EventKind::data, 2, hello(IDENTITY), "send 2 welcome 100\ntag 2 is a kiv join\n"},
        {40, EventKind::data, 2, whole(3, 1, 100, 3), "open 1\ndeliver 1 3\n"},
        {50, EventKind::data, 2, whole(3, 2, 100, 2), "close 1\nopen 1\ndeliver 1 2\n"},
        {60, EventKind::data, 2, whole(3, 1, 100, 1), ""},  // the channel's older sender
        {70, EventKind::data, 2, whole(3, 2, 99, 1), "send 2 who\nasked tag 2 who it is\n"},
        {80, EventKind::data, 2, {3}, "dropped a malformed frame of 1 bytes from tag 2\n"},
        // A plain client whose first datagram passes for a frame is asked; its first that
        // is no frame shows it plain at once, and then everything crosses as it is.
        {100, EventKind::data, 3, lookalike, "send 3 who\nasked tag 3 who it is\n"},
        {110, EventKind::data, 3, {'p'}, "open 2\ndeliver 2 1\n"},
        {120, EventKind::data, 3, lookalike, "deliver 2 8\n"},
        // The relay restarted: its tags mean nothing (the lines about it are the shell's).
        {200, EventKind::lost, 5, {}, ""},
        // Beside a kiv join, a tag not known is asked, at most once a WHO_RETRY_US for all.
        {300, EventKind::data, 7, {}, "send 7 who\nasked tag 7 who it is\n"},
        {310, EventKind::data, 8, {}, ""},
        {400, EventKind::data, 7, whole(3, 2, 100, 1), "send 7 who\nasked tag 7 who it is\n"},
        {410, EventKind::data, 7, hello(IDENTITY),
         "send 7 welcome 101\ntag 7 is a kiv join heard from before; its 1 socket(s) stay\n"},
        {420, EventKind::data, 7, whole(3, 2, 101, 2), "deliver 1 2\n"},
        {430, EventKind::data, 9, hello(IDENTITY + 1), "send 9 welcome 102\ntag 9 is a kiv join\n"},
        {500, EventKind::opened, 5, {}, ""},
        // Frames from a tag that never says hello: asked WHO_TRIES times, then plain.
        {1000, EventKind::data, 11, whole(0, 1, 1, 1), "send 11 who\nasked tag 11 who it is\n"},
        {1100, EventKind::data, 11, whole(0, 1, 1, 1), ""},
        {1300, EventKind::data, 11, whole(0, 1, 1, 1), "send 11 who\nasked tag 11 who it is\n"},
        {1600, EventKind::data, 11, whole(0, 1, 1, 1), "send 11 who\nasked tag 11 who it is\n"},
        {1700, EventKind::data, 11, whole(0, 1, 1, 1), ""},
        {1900, EventKind::data, 11, whole(0, 1, 1, 1), "open 3\ndeliver 3 8\n"},
        {2000, EventKind::opened, 6, {}, moved},
        {2010, EventKind::data, 7, whole(3, 2, 101, 1), "send 7 who\nasked tag 7 who it is\n"},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(ends.at_host(step.at_ms * MS,
                               event(step.kind, step.value, step.payload, client::Error::no_room)),
                  step.expected)
            << "at " << step.at_ms << " ms";
    }
}

TEST(ForwardSession, AQuietTagGivesItsEntryToANewcomerWhileOneThatTalksKeepsIt) {
    Ends ends;
    for (uint32_t tag = 1; tag <= ForwardTable::CLIENTS; ++tag)
        ends.at_host(0, event(EventKind::data, tag, {'c'}));
    EXPECT_EQ(ends.at_host(MS, event(EventKind::data, 100, {'n'})),
              "dropped a datagram from tag 100: all 32 client entries in use\n");
    // Tag 1 talks every second; the others joined once and fell silent.
    for (uint64_t second = 1; second <= 5; ++second)
        EXPECT_EQ(ends.at_host(second * 1000 * MS, event(EventKind::data, 1, {'h'})),
                  "deliver 0 1\n");
    for (uint32_t tag = 2; tag <= ForwardTable::CLIENTS; ++tag) {
        EXPECT_EQ(ends.at_host(CLIENT_GIVE_WAY_US, event(EventKind::data, 100 + tag, {'n'})),
                  "tag " + std::to_string(tag) +
                      " gave its entry and 1 socket(s) to a newcomer (quiet for 5 s)\nclose " +
                      std::to_string(tag - 1) + "\nopen " + std::to_string(30 + tag) +
                      "\ndeliver " + std::to_string(30 + tag) + " 1\n");
    }
    EXPECT_EQ(ends.at_host(CLIENT_GIVE_WAY_US, event(EventKind::data, 200, {'n'})),
              "dropped a datagram from tag 200: all 32 client entries in use\n");
    EXPECT_EQ(ends.at_host(CLIENT_GIVE_WAY_US, event(EventKind::data, 1, {'h'})), "deliver 0 1\n");
}

TEST(ForwardSession, QuietSocketsCloseAFewDozenALookAndThenTheirClient) {
    Ends ends;
    ends.at_host(0, event(EventKind::data, 4, hello(IDENTITY)));
    for (uint16_t channel = 0; channel < 40; ++channel)
        ends.at_host(0, event(EventKind::data, 4, whole(channel, 1, 100, 1)));
    std::string closing = "tag 4 silent for 60 s; its socket is closed\nclose ";
    uint64_t next_us = 0;
    EXPECT_EQ(ends.run([&] { next_us = ends.host->tick(TUNNEL_IDLE_US - 1, *ends.actions); }), "");
    EXPECT_EQ(next_us, TUNNEL_IDLE_US);
    for (size_t closed : {size_t(EXPIRY_CLOSES_PER_LOOK), 40 - size_t(EXPIRY_CLOSES_PER_LOOK)}) {
        ends.run([&] { next_us = ends.host->tick(TUNNEL_IDLE_US, *ends.actions); });
        EXPECT_EQ(ends.actions->size(), 2 * closed);
        EXPECT_EQ(summary(*ends.actions).rfind(closing, 0), 0u);
        EXPECT_EQ(next_us, closed == EXPIRY_CLOSES_PER_LOOK ? TUNNEL_IDLE_US  // more to close
                                                            : TUNNEL_IDLE_US + EXPIRY_LOOK_US);
    }
    EXPECT_EQ(ends.host->table().open_sockets(), 0);
    EXPECT_EQ(ends.host->table().client_by_tag(Tag(4)), ForwardTable::NONE);
}

TEST(ListenSession, APlainHostGetsAPlaceForEachSenderAndAQuietOneGivesItsUp) {
    Ends ends;
    EXPECT_EQ(summary(*ends.actions), "take 0\n");
    EXPECT_EQ(ends.at_join(0, 0, event(EventKind::joined, 5)), "send 0 hello\n");
    EXPECT_EQ(ends.join_tick(300 * MS), "send 0 hello\n");
    EXPECT_EQ(ends.join_tick(600 * MS), "send 0 hello\n");
    EXPECT_FALSE(ends.join->ready_for_senders());
    EXPECT_EQ(ends.join_tick(900 * MS),
              "kiv join: the host is not kiv host --forward: each local sender takes a place of "
              "its own (8 at most) and datagrams over 1400 bytes are dropped\n");
    for (uint16_t port = 1; port <= 8; ++port) {
        std::string place = std::to_string(port - 1);
        EXPECT_EQ(ends.from_local(MS * 1000, port, {'a'}),
                  "local sender 127.0.0.1:" + std::to_string(port) + " heard from\n" +
                      (port > 1 ? "take " + place + "\n" : "") + "queue " + place + " 1\n");
    }
    EXPECT_EQ(ends.at_join(1500 * MS, 1, event(EventKind::data, 1, {'x', 'y'})),
              "deliver 127.0.0.1:2 2\n");
    EXPECT_EQ(ends.from_local(1500 * MS, 3, Bytes(1401)), "oversize 1401 from 127.0.0.1:3\n");
    EXPECT_EQ(
        ends.from_local(2000 * MS, 9, {'n'}),
        "dropped a datagram from 127.0.0.1:9: all 8 local senders in use, none quiet for 5 s\n");
    EXPECT_EQ(ends.from_local(6000 * MS, 9, {'n'}),
              "local sender 127.0.0.1:1 gave way to 127.0.0.1:9 (quiet for 5 s)\nleave 0\ntake 0\n"
              "queue 0 1\n");
    EXPECT_EQ(
        ends.at_join(6 * SECOND, 4, event(EventKind::refused, 0, {}, client::Error::room_full)),
        "kiv join: room " + std::string(room_code(RoomId(5))) + " (id 5) on " + RELAY +
            " refused a place: room is full\nkiv join: that local sender's datagrams are "
            "dropped\ndrop 4\n");
    EXPECT_EQ(ends.outcome, ListenSession::Outcome::go_on);
    EXPECT_EQ(ends.from_local(6000 * MS, 5, {'z'}), "");  // its place is gone
    // A minute later every sender is forgotten and its place given up.
    EXPECT_NE(ends.join_tick(6000 * MS + TUNNEL_IDLE_US)
                  .find("local sender 127.0.0.1:9 forgotten (quiet for 60 s)\nleave 0\n"),
              std::string::npos);
    for (int place = 0; place < ListenSession::PLACES; ++place)
        EXPECT_FALSE(ends.join->place_held(place)) << place;
    ends.at_join(0, 0, event(EventKind::refused, 0, {}, client::Error::room_full));
    EXPECT_EQ(ends.outcome, ListenSession::Outcome::failed);
}

TEST(ListenSession, AKivHostKnowsTheJoinByItsBindingAcrossARestart) {
    Ends ends;
    const struct {
        uint64_t at_ms;
        EventKind kind;
        Bytes payload;
        std::string expected;
        ListenSession::Outcome outcome = ListenSession::Outcome::go_on;
    } steps[] = {
        {0, EventKind::joined, {}, "send 0 hello\n"},
        {10, EventKind::data, welcome(IDENTITY, 100),
         "kiv join: the host is kiv host --forward: up to 1024 local senders share this place, "
         "with datagrams of up to 65507 bytes\n"},
        {30, EventKind::data, whole(0, 1, 100, 1), "deliver 127.0.0.1:1 1\n"},
        {40, EventKind::data, whole(0, 2, 100, 1), ""},  // not the sender's generation
        {50, EventKind::data, whole(0, 1, 99, 1),
         "kiv join: the host does not know this join under its new tag (the relay restarted); "
         "saying hello again\nsend 0 hello\n"},
        {60, EventKind::data, hello(0, FrameKind::who), ""},
        {70, EventKind::data, welcome(IDENTITY + 1, 101), ""},
        {80, EventKind::data, welcome(IDENTITY, 101), "kiv join: the host knows this join again\n"},
        {90, EventKind::data, whole(0, 1, 101, 2), "deliver 127.0.0.1:1 2\n"},
        {100, EventKind::lost, {}, ""},
        {120, EventKind::joined, {}, "send 0 hello\n"},
        {130, EventKind::data, {3}, "dropped a malformed frame of 1 bytes from the host\n"},
        // Back in the room, another kiv host answers: someone opened its id meanwhile.
        {135, EventKind::data, welcome(IDENTITY, 102, 8),
         STOP + "another kiv host answers" + NOT_JOINED, ListenSession::Outcome::failed},
        {140, EventKind::timed_out, {}, "", ListenSession::Outcome::failed},
    };
    for (const auto& step : steps) {
        if (step.at_ms == 30) {
            EXPECT_EQ(ends.from_local(20 * MS, 1, {'a'}), "local sender 127.0.0.1:1 heard from\n");
        }
        EXPECT_EQ(ends.at_join(step.at_ms * MS, 0,
                               event(step.kind, 1, step.payload, client::Error::no_room)),
                  step.expected)
            << "at " << step.at_ms << " ms";
        EXPECT_EQ(ends.outcome, step.outcome) << "at " << step.at_ms << " ms";
    }
    EXPECT_EQ(ends.frames->count, 1u);
}

// A welcomed join asks its host who it is every HOST_CHECK_US, and stops when it answers for
// as long as a join's answer is awaited.
TEST(ListenSession, AJoinWhoseHostFallsSilentStops) {
    Ends ends;
    ends.at_join(0, 0, event(EventKind::joined));
    ends.at_join(MS, 0, event(EventKind::data, 1, welcome(IDENTITY, 100, 7)));
    EXPECT_EQ(ends.join_tick(MS + HOST_CHECK_US - 1), "");
    EXPECT_EQ(ends.join_tick(MS + HOST_CHECK_US), "send 0 hello\n");
    std::string said;
    for (int hello = 1; hello <= KNOWN_HOST_HELLO_TRIES; ++hello)
        said = ends.join_tick(MS + HOST_CHECK_US + hello * HELLO_RETRY_US);
    EXPECT_EQ(said, STOP + "no kiv host answers" + NOT_JOINED);
    EXPECT_TRUE(ends.join->failed() && !ends.join->ready_for_senders());
}

}  // namespace
}  // namespace kiv::tunnel
