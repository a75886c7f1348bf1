// The client library against the real relay on 127.0.0.1, and its socket link on its own.
// Replies the relay would not give and clocks stepped by minutes are tested against a
// stand-in, in client_test.cpp.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "client/kiv_client.hpp"
#include "relay/build_limits.hpp"
#include "relay_process.hpp"
#include "wire/room_code.hpp"

namespace kiv::test {
namespace {

using client::Error;
using client::Event;
using client::EventKind;

// The rooms one address may host, as the relay under test was built (a CMake option).
constexpr int ROOMS_PER_ADDRESS = KIV_ROOMS_PER_ADDRESS;

kiv::Peer loopback(uint16_t port) {
    return kiv::Peer::loopback(port);
}

uint16_t local_port(int fd) {
    kiv::Peer local;
    socklen_t length = kiv::Peer::RECEIVE_CAPACITY;
    getsockname(fd, local.receive_name(), &length);
    return local.port();
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

// The next data event, skipping the empty datagrams clients send to join and keep alive and a
// host's news of its clients.
template <class Endpoint>
Event next_payload(Endpoint& endpoint) {
    for (;;) {
        Event event = next_reported(endpoint);
        if (event.kind == EventKind::client_joined || event.kind == EventKind::client_left)
            continue;
        if (event.kind != EventKind::data || event.length > 0) return event;
    }
}

std::string text_of(const Event& event) {
    return std::string(reinterpret_cast<const char*>(event.payload), event.length);
}

RoomId open_room(client::Host& host, const RelayProcess& relay, RoomId requested = RoomId()) {
    EXPECT_EQ(host.connect(loopback(relay.port())), Error::none);
    EXPECT_EQ(host.open(requested, client::monotonic_us()), Error::none);
    Event event = next_reported(host);
    EXPECT_EQ(event.kind, EventKind::opened);
    return event.room;
}

Event join_room(client::Client& joiner, const RelayProcess& relay, RoomId room_id) {
    EXPECT_EQ(joiner.connect(loopback(relay.port())), Error::none);
    EXPECT_EQ(joiner.join(room_id, client::monotonic_us()), Error::none);
    return next_reported(joiner);
}

TEST(ClientLibrary, HostAndClientExchangeBothWaysThenLeaveAndClose) {
    RelayProcess relay;
    client::Host host;
    RoomId room_id = open_room(host, relay);
    ASSERT_TRUE(room_id.valid());
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
    EXPECT_EQ(at_host.tag, Tag(1));  // the client's tag
    EXPECT_EQ(text_of(at_host), "ab");

    ASSERT_EQ(host.send(Tag(1), "c", 1, 0), Error::none);
    Event at_client = next_payload(joiner);
    ASSERT_EQ(at_client.kind, EventKind::data);
    EXPECT_EQ(at_client.tag, Tag());
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

// Batches go to the kernel as segmented sends, one for each run of one length, and the relay
// sends runs on the same way; whatever the mix of lengths, each datagram must arrive whole,
// alone and in order, both ways, read one to a buffer or many to a coalesced one.
TEST(ClientLibrary, BatchesOfMixedLengthsArriveDatagramByDatagram) {
    // Runs of one length, a shorter one ending a run, an empty one, the largest allowed.
    const std::vector<size_t> lengths = {64, 64, 64, 10, 10, 1400, 1400, 1399, 1400, 7,
                                         0,  5,  5,  5,  5,  5,    5,    5,    5,    2};
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<iovec> batch;
    for (size_t i = 0; i < lengths.size(); ++i) {
        payloads.emplace_back(lengths[i], uint8_t(i + 1));
        batch.push_back({payloads.back().data(), lengths[i]});
    }
    auto arrives_in_order = [&](auto& receiver) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            if (lengths[i] == 0) continue;  // a keep-alive to the host; next_payload skips it
            Event event = next_payload(receiver);
            ASSERT_EQ(event.kind, EventKind::data) << "datagram " << i;
            EXPECT_EQ(std::vector<uint8_t>(event.payload, event.payload + event.length),
                      payloads[i])
                << "datagram " << i;
        }
    };
    static client::Link::CoalescedSlot host_slots[2], client_slots[2];
    for (bool coalescing : {false, true}) {
        SCOPED_TRACE(coalescing ? "coalesced receives" : "one datagram to a buffer");
        RelayProcess relay;
        client::Host host;
        RoomId room_id = open_room(host, relay);
        client::Client joiner;
        ASSERT_EQ(join_room(joiner, relay, room_id).kind, EventKind::joined);
        if (coalescing) {
            host.coalesce_receives(host_slots, 2);
            joiner.coalesce_receives(client_slots, 2);
        }
        ASSERT_EQ(joiner.send_batch(batch.data(), batch.size(), client::monotonic_us()),
                  Error::none);
        arrives_in_order(host);
        ASSERT_EQ(host.send_batch(Tag(1), batch.data(), batch.size(), 0), Error::none);
        arrives_in_order(joiner);
    }
}

TEST(ClientLibrary, HostGetsTheRoomItAsksForWhenFree) {
    RelayProcess relay;
    client::Host host;
    EXPECT_EQ(open_room(host, relay, RoomId(12345678)), RoomId(12345678));
    EXPECT_EQ(relay.next_message(), "room M22LP opened by 127.0.0.1:" +
                                        std::to_string(local_port(host.fd())) + " (re-opened)");
}

TEST(ClientLibrary, RefusalsArriveAsNamedErrors) {
    RelayProcess relay;
    client::Client stranger;
    Event no_room = join_room(stranger, relay, RoomId(4242));
    EXPECT_EQ(no_room.kind, EventKind::refused);
    EXPECT_EQ(no_room.error, Error::no_room);
    EXPECT_EQ(stranger.state(), client::Client::State::idle);

    client::Host host;
    RoomId room_id = open_room(host, relay);
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
    ASSERT_EQ(one_too_many.open(RoomId(), client::monotonic_us()), Error::none);
    Event event = next_reported(one_too_many);
    EXPECT_EQ(event.kind, EventKind::refused);
    EXPECT_EQ(event.error, Error::no_free_room);
    EXPECT_EQ(one_too_many.state(), client::Host::State::closed);
}

TEST(ClientLibrary, ExchangingDatagramsAllocatesNothing) {
    RelayProcess relay;
    client::Host host;
    RoomId room_id = open_room(host, relay);
    client::Client joiner;
    ASSERT_EQ(join_room(joiner, relay, room_id).kind, EventKind::joined);

    constexpr int ROUNDS = 50;
    int at_host = 0, at_client = 0;
    allocation_counting_start();
    for (int i = 0; i < ROUNDS; ++i) {
        (void)joiner.send("ping", 4, client::monotonic_us());
        Event event = next_payload(host);
        at_host += event.kind == EventKind::data && event.length == 4 && event.tag == Tag(1);
        (void)host.send(Tag(1), "pong", 4, client::monotonic_us());
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
        EXPECT_LT(event.round_trip_us, uint32_t(WAIT.count()) * 1000);
    }
}

TEST(ClientLibrary, ArgumentsOutsideTheWireRangesAreRefused) {
    RelayProcess relay;
    client::Host host;
    EXPECT_EQ(host.send(Tag(1), "x", 1, 0), Error::not_ready);
    EXPECT_EQ(host.open(RoomId(MAX_ROOM_ID + 1), 0), Error::bad_room);
    open_room(host, relay);
    EXPECT_EQ(host.send(Tag(0), "x", 1, 0), Error::bad_tag);
    EXPECT_EQ(host.send(Tag(MAX_TAG + 1), "x", 1, 0), Error::bad_tag);
    std::vector<uint8_t> large(client::MAX_PAYLOAD + 1);
    EXPECT_EQ(host.send(Tag(1), large.data(), large.size(), 0), Error::too_large);
    EXPECT_EQ(host.send(Tag(1), large.data(), large.size() - 1, 0), Error::none);

    client::Client joiner;
    EXPECT_EQ(joiner.send("x", 1, 0), Error::not_ready);
    EXPECT_EQ(joiner.join(RoomId(0), 0), Error::bad_room);
    EXPECT_EQ(joiner.leave(), Error::not_ready);
}

// The socket is connected to the relay, so a stranger's well-formed answer never arrives:
// it is sent before the relay's own and would be read first.
TEST(ClientLibrary, DatagramsFromStrangersNeverArrive) {
    RelayProcess relay;
    client::Host host;
    ASSERT_EQ(host.connect(loopback(relay.port())), Error::none);
    ASSERT_EQ(host.open(RoomId(12345678), client::monotonic_us()), Error::none);
    Peer stranger;
    stranger.send_to(local_port(host.fd()), header(MSG_OPENED, 99));
    Event event = next_reported(host);
    EXPECT_EQ(event.kind, EventKind::opened);
    EXPECT_EQ(event.room, RoomId(12345678));
}

// A failed connect leaves no socket behind: nothing to wait on that could never be read.
TEST(ClientLink, FailedConnectKeepsNoSocket) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends), 0);
    client::Pinger pinger;
    ASSERT_EQ(pinger.attach(ends[0]), Error::none);
    close(ends[1]);
    EXPECT_EQ(pinger.connect(kiv::Peer()), Error::system);
    EXPECT_EQ(pinger.fd(), -1);
    EXPECT_NE(pinger.system_errno(), 0);
    EXPECT_EQ(pinger.start(1'000'000'000), Error::not_ready);
}

// What one wake-up brought is read with one call and handed out in order; the payloads of
// a read stay valid until the caller, having been told none, reads again. Over UDP on
// 127.0.0.1, as a socketpair queues only a few datagrams.
TEST(ClientLink, OneReadPerBatchAndItsPayloadsStayValidUntilTheNextRead) {
    constexpr uint64_t T0 = 1'000'000'000;
    Peer relay;
    client::Client joiner;
    ASSERT_EQ(joiner.connect(kiv::Peer::loopback(relay.port())), Error::none);
    sockaddr_in local{};
    socklen_t local_length = sizeof local;
    ASSERT_EQ(getsockname(joiner.fd(), reinterpret_cast<sockaddr*>(&local), &local_length), 0);
    ASSERT_EQ(joiner.join(RoomId(70), T0), Error::none);
    ASSERT_TRUE(relay.receive());
    std::optional<Bytes> ping = relay.receive();
    ASSERT_TRUE(ping);
    (*ping)[OFFSET_TYPE] = uint8_t(MsgType::MSG_PONG);
    relay.send_to(ntohs(local.sin_port), *ping);
    pollfd readable{joiner.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 5000), 1);
    ASSERT_EQ(joiner.next_event(T0).kind, EventKind::joined);
    EXPECT_EQ(joiner.next_event(T0).kind, EventKind::none);

    size_t total = client::RECEIVE_BATCH + 8;
    for (size_t i = 0; i < total; ++i)
        relay.send_to(ntohs(local.sin_port), with_payload(header(MSG_DATA, 0), {uint8_t(i)}));
    size_t next = 0;
    for (size_t expected : {client::RECEIVE_BATCH, total - client::RECEIVE_BATCH}) {
        ASSERT_EQ(poll(&readable, 1, 5000), 1);
        std::vector<Event> batch;
        for (Event event; (event = joiner.next_event(T0)).kind != EventKind::none;)
            batch.push_back(event);
        ASSERT_EQ(batch.size(), expected);
        for (const Event& event : batch) {
            ASSERT_EQ(event.kind, EventKind::data);
            ASSERT_EQ(event.length, 1u);
            EXPECT_EQ(event.payload[0], uint8_t(next++));
        }
    }
    EXPECT_EQ(next, total);
}

}  // namespace
}  // namespace kiv::test
