// What the C interface costs over the C++ calls it wraps: a host's send and next_event, each
// through Host directly and through kiv_send / kiv_next_event, over real loopback sockets to a
// stand-in relay (a plain UDP socket), so that both sides pay the same system calls.
//
// send: one 64-byte datagram to a tag (the stand-in reads none, so its buffer fills and the
// kernel drops the rest, the same for both). next_event: a datagram from the stand-in delivered as
// a data event; the stand-in queues them 64 at a time with one sendmmsg, inside the timing, for
// both. idle: next_event with nothing waiting (one recv that finds nothing).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "client/kiv_client.hpp"
#include "kiv.h"

namespace kiv {
namespace {

constexpr size_t PAYLOAD = 64;
constexpr uint32_t ROOM = 70;
constexpr uint32_t TAG = 1;
constexpr unsigned QUEUED = 64;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

uint16_t port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The relay's side: a socket that answers the open and then sends data datagrams.
struct StandIn {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint8_t data[HEADER_SIZE + PAYLOAD] = {};
    iovec part{data, sizeof data};
    mmsghdr batch[QUEUED] = {};

    StandIn() {
        sockaddr_in address = loopback(0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) abort();
        header_write(data, MsgType::MSG_DATA, TAG);
        for (mmsghdr& message : batch) {
            message.msg_hdr.msg_iov = &part;
            message.msg_hdr.msg_iovlen = 1;
        }
    }
    ~StandIn() { close(fd); }
    uint16_t port() const { return port_of(fd); }

    // Answers the endpoint's open and fixes it as the only peer of the data to come.
    void open(int endpoint_fd) {
        uint8_t request[HEADER_SIZE + 1];
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 5000) != 1 || recv(fd, request, sizeof request, 0) < 0) abort();
        sockaddr_in endpoint = loopback(port_of(endpoint_fd));
        if (connect(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0) abort();
        uint8_t opened[HEADER_SIZE];
        header_write(opened, MsgType::MSG_OPENED, ROOM);
        if (send(fd, opened, sizeof opened, 0) != ssize_t(sizeof opened)) abort();
    }
    void queue() {
        if (sendmmsg(fd, batch, QUEUED, 0) != int(QUEUED)) abort();
    }
};

void wait_readable(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 5000) != 1) abort();
}

// ---- C++

struct CppHost {
    StandIn relay;
    client::Host host;
    CppHost() {
        if (host.connect(Peer::loopback(relay.port())) != client::Error::none) abort();
        if (host.open(RoomId(), client::monotonic_us()) != client::Error::none) abort();
        relay.open(host.fd());
        wait_readable(host.fd());
        if (host.next_event(client::monotonic_us()).kind != client::EventKind::opened) abort();
    }
};

void BM_Send_Cpp(benchmark::State& state) {
    CppHost fixture;
    uint8_t payload[PAYLOAD] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.host.send(Tag(TAG), payload, sizeof payload, 0));
    }
}

void BM_NextEvent_Cpp(benchmark::State& state) {
    CppHost fixture;
    unsigned left = 0;
    uint64_t now_us = client::monotonic_us();
    for (auto _ : state) {
        if (left == 0) {
            fixture.relay.queue();
            wait_readable(fixture.host.fd());
            left = QUEUED;
        }
        client::Event event = fixture.host.next_event(now_us);
        // Loopback delivers in order and at once, but a datagram still on its way is waited
        // for rather than counted as an event.
        while (event.kind == client::EventKind::none) {
            wait_readable(fixture.host.fd());
            event = fixture.host.next_event(now_us);
        }
        benchmark::DoNotOptimize(event);
        left -= event.kind == client::EventKind::data;
    }
}

void BM_NextEventIdle_Cpp(benchmark::State& state) {
    CppHost fixture;
    uint64_t now_us = client::monotonic_us();
    for (auto _ : state)
        benchmark::DoNotOptimize(fixture.host.next_event(now_us));
}

// ---- C

struct CHost {
    StandIn relay;
    kiv_endpoint* host = nullptr;
    CHost() {
        uint64_t now_us = 0;
        kiv_now_us(&now_us);
        sockaddr_in address = loopback(relay.port());
        if (kiv_host_create(&host) != KIV_OK ||
            kiv_connect(host, &address, sizeof address) != KIV_OK ||
            kiv_open(host, 0, now_us, 0) != KIV_OK) {
            abort();
        }
        relay.open(fd());
        wait_readable(fd());
        kiv_event event{};
        kiv_next_event(host, now_us, &event);
        if (event.kind != KIV_EVENT_OPENED) abort();
    }
    ~CHost() { kiv_destroy(host); }
    int fd() const {
        int fd = -1;
        kiv_fd(host, &fd);
        return fd;
    }
};

void BM_Send_C(benchmark::State& state) {
    CHost fixture;
    uint8_t payload[PAYLOAD] = {};
    uint64_t now_us = client::monotonic_us();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kiv_send(fixture.host, TAG, payload, sizeof payload, now_us));
    }
}

void BM_NextEvent_C(benchmark::State& state) {
    CHost fixture;
    int fd = fixture.fd();
    unsigned left = 0;
    uint64_t now_us = client::monotonic_us();
    kiv_event event{};
    for (auto _ : state) {
        if (left == 0) {
            fixture.relay.queue();
            wait_readable(fd);
            left = QUEUED;
        }
        kiv_next_event(fixture.host, now_us, &event);
        while (event.kind == KIV_EVENT_NONE) {
            wait_readable(fd);
            kiv_next_event(fixture.host, now_us, &event);
        }
        benchmark::DoNotOptimize(event);
        // The first datagram of the tag is announced before it is delivered.
        left -= event.kind == KIV_EVENT_DATA;
    }
}

void BM_NextEventIdle_C(benchmark::State& state) {
    CHost fixture;
    uint64_t now_us = client::monotonic_us();
    kiv_event event{};
    for (auto _ : state) {
        kiv_next_event(fixture.host, now_us, &event);
        benchmark::DoNotOptimize(event);
    }
}

// ---- The layer alone: endpoints without a socket, so that no system call hides what the
// checks, the dispatch on the endpoint's kind and the copy into kiv_event cost.

void BM_SendRefused_Cpp(benchmark::State& state) {
    client::Host host;
    uint8_t payload[PAYLOAD] = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(host.send(Tag(TAG), payload, sizeof payload, 0));
}

void BM_SendRefused_C(benchmark::State& state) {
    kiv_endpoint* host = nullptr;
    if (kiv_host_create(&host) != KIV_OK) abort();
    uint8_t payload[PAYLOAD] = {};
    for (auto _ : state)
        benchmark::DoNotOptimize(kiv_send(host, TAG, payload, sizeof payload, 0));
    kiv_destroy(host);
}

void BM_NextEventUnconnected_Cpp(benchmark::State& state) {
    client::Host host;
    for (auto _ : state)
        benchmark::DoNotOptimize(host.next_event(1));
}

void BM_NextEventUnconnected_C(benchmark::State& state) {
    kiv_endpoint* host = nullptr;
    if (kiv_host_create(&host) != KIV_OK) abort();
    kiv_event event{};
    for (auto _ : state) {
        kiv_next_event(host, 1, &event);
        benchmark::DoNotOptimize(event);
    }
    kiv_destroy(host);
}

BENCHMARK(BM_Send_Cpp);
BENCHMARK(BM_Send_C);
BENCHMARK(BM_NextEvent_Cpp);
BENCHMARK(BM_NextEvent_C);
BENCHMARK(BM_NextEventIdle_Cpp);
BENCHMARK(BM_NextEventIdle_C);
BENCHMARK(BM_SendRefused_Cpp);
BENCHMARK(BM_SendRefused_C);
BENCHMARK(BM_NextEventUnconnected_Cpp);
BENCHMARK(BM_NextEventUnconnected_C);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
