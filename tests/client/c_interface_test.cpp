// What the examples do not reach of the C interface: every failure status, the fields of each
// kind of event (against a stand-in relay, with the clock stepped by hand), and that a load of
// sends and events allocates nothing.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "ipv4.hpp"
#include "kiv.h"
#include "relay_process.hpp"

namespace kiv::test {
namespace {

struct Destroy {
    void operator()(kiv_endpoint* endpoint) const { kiv_destroy(endpoint); }
};
using Endpoint = std::unique_ptr<kiv_endpoint, Destroy>;

Endpoint make(kiv_status (*create)(kiv_endpoint**)) {
    kiv_endpoint* made = nullptr;
    EXPECT_EQ(create(&made), KIV_OK);
    return Endpoint(made);
}

kiv_status connect_to(kiv_endpoint* endpoint, uint16_t port) {
    sockaddr_in address = loopback(port);
    return kiv_connect(endpoint, &address, sizeof address);
}

uint16_t local_port(const kiv_endpoint* endpoint) {
    int fd = -1;
    kiv_fd(endpoint, &fd);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Drives the endpoint at a fixed time until it reports something (a datagram in flight takes
// a moment even on loopback), or gives up after a few seconds.
kiv_event event_at(kiv_endpoint* endpoint, uint64_t now_us) {
    kiv_event event{};
    int fd = -1;
    kiv_fd(endpoint, &fd);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(kiv_next_event(endpoint, now_us, &event), KIV_OK);
        if (event.kind != KIV_EVENT_NONE) return event;
        pollfd waiting{fd, POLLIN, 0};
        poll(&waiting, 1, 10);
    }
    return event;
}

// The next reported event on the real clock, skipping the empty datagrams of joins and
// keep-alives.
kiv_event next_payload(kiv_endpoint* endpoint) {
    for (;;) {
        uint64_t now_us = 0;
        kiv_now_us(&now_us);
        kiv_event event = event_at(endpoint, now_us);
        if (event.kind != KIV_EVENT_DATA || event.length > 0) return event;
    }
}

// Connects both ends to the relay on `port` (the host by its text), opens a room at the host and
// sends the client to join it; returns the time the join was asked for.
uint64_t open_and_join(kiv_endpoint* host, kiv_endpoint* joiner, uint16_t port) {
    EXPECT_EQ(kiv_connect_text(host, ("127.0.0.1:" + std::to_string(port)).c_str()), KIV_OK);
    EXPECT_EQ(connect_to(joiner, port), KIV_OK);
    uint64_t now_us = 0;
    kiv_now_us(&now_us);
    EXPECT_EQ(kiv_open(host, 0, now_us, 0), KIV_OK);
    kiv_event event = event_at(host, now_us);
    EXPECT_EQ(event.kind, KIV_EVENT_OPENED);
    EXPECT_EQ(kiv_join(joiner, event.room_id, now_us, 0), KIV_OK);
    return now_us;
}

std::string text_of(const kiv_event& event) {
    return std::string(reinterpret_cast<const char*>(event.payload), event.length);
}

constexpr uint64_t T0 = 1'000'000'000;
constexpr auto SHORT = std::chrono::milliseconds(200);

TEST(CInterface, EveryFailureHasItsStatus) {
    Peer stand_in;
    Endpoint host = make(kiv_host_create), joiner = make(kiv_client_create),
             pinger = make(kiv_pinger_create), open_host = make(kiv_host_create);
    ASSERT_EQ(connect_to(open_host.get(), stand_in.port()), KIV_OK);
    ASSERT_EQ(kiv_open(open_host.get(), 0, T0, 0), KIV_OK);
    ASSERT_TRUE(stand_in.receive());
    stand_in.send_to(local_port(open_host.get()), header(MSG_OPENED, 70));
    ASSERT_EQ(event_at(open_host.get(), T0).kind, KIV_EVENT_OPENED);

    // A family no relay is reached by: a local socket's address.
    sockaddr_un other_family{};
    other_family.sun_family = AF_UNIX;
    sockaddr_in address = loopback(stand_in.port());
    std::vector<uint8_t> large(KIV_MAX_PAYLOAD + 1);
    kiv_buffer batch[KIV_SEND_BATCH + 1] = {};
    char code[KIV_CODE_SIZE];
    const char* text = nullptr;
    uint32_t room_id = 0;
    kiv_event event{};
    int fd = 0;

    const std::pair<std::function<kiv_status()>, kiv_status> cases[] = {
        {[&] { return kiv_host_create(nullptr); }, KIV_ERR_NULL},
        {[&] { return kiv_set_direct(nullptr, 1); }, KIV_ERR_NULL},
        {[&] { return kiv_set_direct(pinger.get(), 1); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_set_direct(open_host.get(), 1); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_connect(host.get(), nullptr, 0); }, KIV_ERR_NULL},
        {[&] { return kiv_connect_text(nullptr, "127.0.0.1"); }, KIV_ERR_NULL},
        {[&] { return kiv_next_event(host.get(), T0, nullptr); }, KIV_ERR_NULL},
        {[&] { return kiv_fd(nullptr, &fd); }, KIV_ERR_NULL},
        {[&] { return kiv_send(open_host.get(), 1, nullptr, 3, T0); }, KIV_ERR_NULL},
        {[&] { return kiv_send_batch(open_host.get(), 1, nullptr, 2, T0); }, KIV_ERR_NULL},
        {[&] { return kiv_room_from_code("AAAAA", nullptr); }, KIV_ERR_NULL},
        {[&] { return kiv_error_text(KIV_OK, nullptr); }, KIV_ERR_NULL},
        {[&] { return kiv_connect(host.get(), &other_family, sizeof other_family); },
         KIV_ERR_BAD_ADDRESS},
        {[&] { return kiv_connect(host.get(), &address, sizeof address - 1); },
         KIV_ERR_BAD_ADDRESS},
        {[&] { return kiv_connect_text(host.get(), ":27017"); }, KIV_ERR_BAD_ADDRESS},
        {[&] { return kiv_connect_text(host.get(), "127.0.0.1:0"); }, KIV_ERR_BAD_ADDRESS},
        {[&] { return kiv_connect_text(host.get(), "127.0.0.1:65536"); }, KIV_ERR_BAD_ADDRESS},
        {[&] { return kiv_connect_text(host.get(), "127.0.0.1:x"); }, KIV_ERR_BAD_ADDRESS},
        {[&] { return kiv_open(joiner.get(), 0, T0, 0); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_join(host.get(), 1, T0, 0); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_ping(host.get(), T0, 0); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_send(pinger.get(), 0, "x", 1, T0); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_send_batch(pinger.get(), 0, batch, 1, T0); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_close(pinger.get()); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_set_identity(joiner.get(), 1); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_set_check_host(host.get(), 1); }, KIV_ERR_WRONG_ENDPOINT},
        {[&] { return kiv_set_check_host(nullptr, 1); }, KIV_ERR_NULL},
        {[&] { return kiv_open(host.get(), 0, T0, 0); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_ping(pinger.get(), T0, 0); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_send(host.get(), 1, "x", 1, T0); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_send(joiner.get(), 0, "x", 1, T0); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_close(host.get()); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_close(joiner.get()); }, KIV_ERR_NOT_READY},
        {[&] { return kiv_open(open_host.get(), (1u << 25) + 1, T0, 0); }, KIV_ERR_BAD_ROOM},
        {[&] { return kiv_join(joiner.get(), 0, T0, 0); }, KIV_ERR_BAD_ROOM},
        {[&] { return kiv_room_code(0, code, sizeof code); }, KIV_ERR_BAD_ROOM},
        {[&] { return kiv_send(open_host.get(), 0, "x", 1, T0); }, KIV_ERR_BAD_TAG},
        {[&] { return kiv_send(open_host.get(), 65536, "x", 1, T0); }, KIV_ERR_BAD_TAG},
        {[&] { return kiv_send(open_host.get(), 1, large.data(), large.size(), T0); },
         KIV_ERR_TOO_LARGE},
        {[&] { return kiv_send_batch(open_host.get(), 1, batch, KIV_SEND_BATCH + 1, T0); },
         KIV_ERR_TOO_MANY},
        {[&] { return kiv_room_code(1, code, KIV_CODE_SIZE - 1); }, KIV_ERR_BUFFER_TOO_SMALL},
        {[&] { return kiv_room_from_code("AAAA0", &room_id); }, KIV_ERR_BAD_CODE},
        {[&] { return kiv_room_from_code("AAAAAA", &room_id); }, KIV_ERR_BAD_CODE},
        {[&] { return kiv_error_text(KIV_ERR_NO_HOST + 1, &text); }, KIV_ERR_BAD_STATUS},
        {[&] { return kiv_error_text(-1, &text); }, KIV_ERR_BAD_STATUS},
        {[&] { return kiv_destroy(nullptr); }, KIV_OK},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].first(), cases[i].second) << "case " << i;
    }
    // The payload of a batch too large fails the batch before anything is sent.
    batch[1] = {large.data(), large.size()};
    EXPECT_EQ(kiv_send_batch(open_host.get(), 1, batch, 2, T0), KIV_ERR_TOO_LARGE);
    EXPECT_FALSE(stand_in.receive(SHORT));
    EXPECT_EQ(kiv_next_event(host.get(), T0, &event), KIV_OK);
    EXPECT_EQ(event.kind, KIV_EVENT_NONE);
}

TEST(CInterface, EveryStatusHasItsOwnText) {
    std::set<std::string> texts;
    for (int32_t status = KIV_OK; status <= KIV_ERR_NO_HOST; ++status) {
        const char* text = nullptr;
        ASSERT_EQ(kiv_error_text(status, &text), KIV_OK) << status;
        ASSERT_NE(text, nullptr);
        EXPECT_NE(*text, '\0') << status;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), size_t(KIV_ERR_NO_HOST) + 1);
}

TEST(CInterface, RoomCodesGoBothWays) {
    for (uint32_t id : {1u, 32u, 33u, 12345678u, 1u << 25}) {
        char code[KIV_CODE_SIZE] = "xxxxx";
        ASSERT_EQ(kiv_room_code(id, code, sizeof code), KIV_OK);
        uint32_t back = 0;
        ASSERT_EQ(kiv_room_from_code(code, &back), KIV_OK) << code;
        EXPECT_EQ(back, id) << code;
    }
    uint32_t id = 0;
    ASSERT_EQ(kiv_room_from_code("m22lp", &id), KIV_OK);
    EXPECT_EQ(id, 12345678u);
}

TEST(CInterface, HostEventsCarryTheirFields) {
    Peer stand_in;
    Endpoint host = make(kiv_host_create);
    ASSERT_EQ(connect_to(host.get(), stand_in.port()), KIV_OK);
    ASSERT_EQ(kiv_open(host.get(), 0, T0, 0), KIV_OK);
    ASSERT_TRUE(stand_in.receive());
    uint16_t host_port = local_port(host.get());
    stand_in.send_to(host_port, header(MSG_OPENED, 70));
    kiv_event event = event_at(host.get(), T0);
    EXPECT_EQ(event.kind, KIV_EVENT_OPENED);
    EXPECT_EQ(event.error, KIV_OK);
    EXPECT_EQ(event.room_id, 70u);
    uint32_t room_id = 0;
    kiv_room_id(host.get(), &room_id);
    EXPECT_EQ(room_id, 70u);

    // A tag's first datagram makes it known, then is delivered; later ones only are.
    stand_in.send_to(host_port, with_payload(header(MSG_DATA, 5), {'h', 'i'}));
    event = event_at(host.get(), T0);
    EXPECT_EQ(event.kind, KIV_EVENT_CLIENT_JOINED);
    EXPECT_EQ(event.tag, 5u);
    event = event_at(host.get(), T0);
    EXPECT_EQ(event.kind, KIV_EVENT_DATA);
    EXPECT_EQ(event.tag, 5u);
    EXPECT_EQ(event.room_id, 0u);
    EXPECT_EQ(text_of(event), "hi");
    stand_in.send_to(host_port, header(MSG_DATA, 5));
    event = event_at(host.get(), T0 + 1'000'000);
    EXPECT_EQ(event.kind, KIV_EVENT_DATA);
    EXPECT_EQ(event.length, 0u);

    // The keep-alive at 30 s is answered; the tag's silence since T0 + 1 s runs out after
    // the relay's 60 s.
    EXPECT_EQ(kiv_next_event(host.get(), T0 + 30'000'000, &event), KIV_OK);
    EXPECT_EQ(event.kind, KIV_EVENT_NONE);
    ASSERT_EQ(stand_in.receive(), header(MSG_OPEN, 70));
    stand_in.send_to(host_port, header(MSG_OPENED, 70));
    EXPECT_EQ(kiv_next_event(host.get(), T0 + 30'000'000, &event), KIV_OK);
    EXPECT_EQ(kiv_next_event(host.get(), T0 + 61'000'000, &event), KIV_OK);
    EXPECT_EQ(event.kind, KIV_EVENT_NONE);
    // The wait ends when the silence does, ahead of the keep-alive's retry.
    int wait_ms = 0;
    kiv_wait_ms(host.get(), T0 + 61'000'000, &wait_ms);
    EXPECT_EQ(wait_ms, 1);
    event = event_at(host.get(), T0 + 61'000'001);
    EXPECT_EQ(event.kind, KIV_EVENT_CLIENT_LEFT);
    EXPECT_EQ(event.tag, 5u);

    stand_in.send_to(host_port, header(MSG_ERROR, 4));
    event = event_at(host.get(), T0 + 61'000'001);
    EXPECT_EQ(event.kind, KIV_EVENT_REFUSED);
    EXPECT_EQ(event.error, KIV_ERR_BAD_VERSION);
}

TEST(CInterface, ClientAndPingerEventsCarryTheirFields) {
    Peer stand_in;
    Endpoint joiner = make(kiv_client_create);
    ASSERT_EQ(connect_to(joiner.get(), stand_in.port()), KIV_OK);
    ASSERT_EQ(kiv_join(joiner.get(), 70, T0, 0), KIV_OK);
    ASSERT_EQ(stand_in.receive(), header(MSG_DATA, 70));
    std::optional<Bytes> ping = stand_in.receive();
    ASSERT_TRUE(ping);
    uint16_t joiner_port = local_port(joiner.get());
    stand_in.send_to(joiner_port, header(MSG_PONG, value_of(*ping)));
    kiv_event event = event_at(joiner.get(), T0);
    EXPECT_EQ(event.kind, KIV_EVENT_JOINED);
    EXPECT_EQ(event.room_id, 70u);
    stand_in.send_to(joiner_port, with_payload(header(MSG_DATA, 0), {'o', 'k'}));
    event = event_at(joiner.get(), T0);
    EXPECT_EQ(event.kind, KIV_EVENT_DATA);
    EXPECT_EQ(event.tag, 0u);
    EXPECT_EQ(text_of(event), "ok");
    stand_in.send_to(joiner_port, header(MSG_ERROR, 1));
    event = event_at(joiner.get(), T0);
    // A client in a room that the relay no longer knows tries to get back in by itself.
    EXPECT_EQ(event.kind, KIV_EVENT_LOST);
    EXPECT_EQ(event.error, KIV_ERR_NO_ROOM);
    EXPECT_EQ(event.room_id, 70u);

    // The joiner's re-joins go on to its stand-in; the pinger gets one of its own.
    Peer ping_stand_in;
    Endpoint pinger = make(kiv_pinger_create);
    ASSERT_EQ(connect_to(pinger.get(), ping_stand_in.port()), KIV_OK);
    ASSERT_EQ(kiv_ping(pinger.get(), T0, 2'000'000), KIV_OK);
    ping = ping_stand_in.receive();
    ASSERT_TRUE(ping);
    ping_stand_in.send_to(local_port(pinger.get()), header(MSG_PONG, value_of(*ping)));
    event = event_at(pinger.get(), T0 + 1234);
    EXPECT_EQ(event.kind, KIV_EVENT_PONG);
    EXPECT_EQ(event.round_trip_us, 1234u);
    ASSERT_EQ(kiv_ping(pinger.get(), T0, 2'000'000), KIV_OK);
    event = event_at(pinger.get(), T0 + 2'000'000);
    EXPECT_EQ(event.kind, KIV_EVENT_TIMED_OUT);
    EXPECT_EQ(event.error, KIV_ERR_TIMED_OUT);
}

// Both ends with direct paths on, through a relay that reflects: each reports the path
// direct, the host with the client's tag, and data still arrives with that tag.
TEST(CInterface, DirectPathEventsCarryTheirFields) {
    RelayProcess relay({"0", "--reflect"});
    Endpoint host = make(kiv_host_create), joiner = make(kiv_client_create);
    ASSERT_EQ(kiv_set_direct(host.get(), 1), KIV_OK);
    ASSERT_EQ(kiv_set_direct(joiner.get(), 1), KIV_OK);
    uint64_t now_us = open_and_join(host.get(), joiner.get(), relay.port());
    kiv_event event{}, host_direct{}, joiner_direct{};
    for (int i = 0; i < 500 && (host_direct.kind == 0 || joiner_direct.kind == 0); ++i) {
        kiv_now_us(&now_us);
        for (auto [endpoint, direct] :
             {std::pair{host.get(), &host_direct}, std::pair{joiner.get(), &joiner_direct}}) {
            while (kiv_next_event(endpoint, now_us, &event) == KIV_OK &&
                   event.kind != KIV_EVENT_NONE) {
                if (event.kind == KIV_EVENT_PATH_DIRECT) *direct = event;
                EXPECT_NE(event.kind, KIV_EVENT_PATH_RELAYED);
            }
        }
        pollfd waiting[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
        kiv_fd(host.get(), &waiting[0].fd);
        kiv_fd(joiner.get(), &waiting[1].fd);
        poll(waiting, 2, 10);
    }
    ASSERT_EQ(host_direct.kind, KIV_EVENT_PATH_DIRECT);
    EXPECT_EQ(host_direct.tag, 1u);
    EXPECT_EQ(host_direct.error, KIV_OK);
    ASSERT_EQ(joiner_direct.kind, KIV_EVENT_PATH_DIRECT);
    EXPECT_EQ(joiner_direct.tag, 0u);
    kiv_now_us(&now_us);
    ASSERT_EQ(kiv_send(joiner.get(), 0, "hi", 2, now_us), KIV_OK);
    event = next_payload(host.get());
    EXPECT_EQ(event.kind, KIV_EVENT_DATA);
    EXPECT_EQ(event.tag, 1u);
    EXPECT_EQ(text_of(event), "hi");
}

TEST(CInterface, SendsAndEventsAllocateNothing) {
    RelayProcess relay;
    Endpoint host = make(kiv_host_create), joiner = make(kiv_client_create);
    uint64_t now_us = open_and_join(host.get(), joiner.get(), relay.port());
    kiv_event event{};
    kiv_now_us(&now_us);
    ASSERT_EQ(event_at(joiner.get(), now_us).kind, KIV_EVENT_JOINED);

    constexpr int ROUNDS = 50;
    const kiv_buffer batch[3] = {{"a", 1}, {"bb", 2}, {"ccc", 3}};
    int at_host = 0, at_client = 0;
    allocation_counting_start();
    for (int round = 0; round < ROUNDS; ++round) {
        kiv_now_us(&now_us);
        (void)kiv_send(joiner.get(), 0, "ping", 4, now_us);
        event = next_payload(host.get());
        if (event.kind == KIV_EVENT_CLIENT_JOINED) event = next_payload(host.get());
        at_host += event.kind == KIV_EVENT_DATA && event.length == 4 && event.tag == 1;
        (void)kiv_send_batch(host.get(), 1, batch, 3, now_us);
        for (size_t length = 1; length <= 3; ++length) {
            event = next_payload(joiner.get());
            at_client += event.kind == KIV_EVENT_DATA && event.length == length;
        }
    }
    AllocationCount made = allocation_counting_stop();
    EXPECT_EQ(made.total(), 0) << allocation_counting_method();
    EXPECT_EQ(at_host, ROUNDS);
    EXPECT_EQ(at_client, 3 * ROUNDS);
}

}  // namespace
}  // namespace kiv::test
