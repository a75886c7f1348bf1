// The shared batched datagram I/O: cutting coalesced receives and planning segmented runs,
// both pure, and the calls' answers to a kernel that refuses, over UDP on 127.0.0.1.
#include "net/datagram_io.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "ipv4.hpp"

namespace kiv {
namespace {

using Cut = std::vector<std::pair<size_t, size_t>>;  // offset, length

Cut cut(size_t received, size_t segment_size, bool truncated = false) {
    static uint8_t buffer[COALESCED_SLOT];
    Cut pieces;
    for_each_segment(buffer, received, segment_size, truncated, [&](uint8_t* at, size_t length) {
        pieces.emplace_back(size_t(at - buffer), length);
    });
    return pieces;
}

TEST(Segments, ARunIsCutAtTheSegmentSizeWithAShortLastOne) {
    EXPECT_EQ(cut(76, 0), (Cut{{0, 76}}));
    EXPECT_EQ(cut(250, 100), (Cut{{0, 100}, {100, 100}, {200, 50}}));
    EXPECT_EQ(cut(300, 100), (Cut{{0, 100}, {100, 100}, {200, 100}}));
    EXPECT_EQ(cut(40, 100), (Cut{{0, 40}}));
    // Above the largest datagram a segment keeps its real length, for the length rule.
    EXPECT_EQ(cut(3500, 1500), (Cut{{0, 1500}, {1500, 1500}, {3000, 500}}));
    EXPECT_EQ(cut(0, 0), (Cut{{0, 0}})) << "an empty datagram is still one";
}

TEST(Segments, WhatTheKernelCutIsNeverPassedOffAsWhole) {
    EXPECT_EQ(cut(1413, 0, true), (Cut{{0, 1414}}));
    EXPECT_EQ(cut(250, 100, true), (Cut{{0, 100}, {100, 100}}));
}

TEST(SegmentRun, RunsKeepOneLengthOnePeerAndTheKernelsLimits) {
    struct Case {
        const char* name;
        std::vector<size_t> lengths;
        std::vector<int> peers;  // empty: all to one peer
        std::vector<int> runs;
    };
    const Case cases[] = {
        {"the last may be shorter", {100, 100, 40, 100}, {}, {3, 1}},
        {"a longer one ends the run", {100, 100, 140}, {}, {2, 1}},
        {"an empty one goes alone", {0, 0, 100, 0}, {}, {1, 1, 1, 1}},
        {"another peer ends the run", {100, 100, 100}, {1, 1, 2}, {2, 1}},
        {"at most 64 segments", std::vector<size_t>(70, 10), {}, {64, 6}},
        {"at most 65000 bytes", std::vector<size_t>(50, 1400), {}, {46, 4}},
    };
    for (const Case& c : cases) {
        std::vector<int> runs;
        for (int first = 0, end = int(c.lengths.size()); first < end; first += runs.back()) {
            runs.push_back(segment_run(
                first, end, [&](int i) { return c.lengths[size_t(i)]; },
                [&](int a, int b) { return c.peers.empty() || c.peers[a] == c.peers[b]; }));
        }
        EXPECT_EQ(runs, c.runs) << c.name;
    }
}

// A socket on 127.0.0.1 at `port` (0: any), optionally connected to `peer_port`.
int udp_socket(uint16_t port = 0, uint16_t peer_port = 0) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = test::loopback(port);
    sockaddr_in peer = test::loopback(peer_port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return -1;
    if (peer_port != 0 && connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
        return -1;
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool wait_for(int fd, short events) {
    pollfd waiting{fd, events, 0};
    return poll(&waiting, 1, 5000) == 1 && (waiting.revents & events) != 0;
}

// More segments than any kernel takes in one send: it is refused, sent datagram by
// datagram (each a header part and a payload part), and no run is asked for again.
TEST(DatagramIo, ARefusedSegmentedSendGoesDatagramByDatagram) {
    constexpr int COUNT = 150;
    int receiver = udp_socket();
    int sender = udp_socket(0, port_of(receiver));
    ASSERT_GE(sender, 0);
    int size = 1 << 20;
    (void)setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    uint8_t header[12] = {'h'};
    uint8_t payloads[COUNT][4];
    std::vector<iovec> parts;
    for (int i = 0; i < COUNT; ++i) {
        payloads[i][0] = uint8_t(i);
        parts.push_back({header, sizeof header});
        parts.push_back({payloads[i], sizeof payloads[i]});
    }
    mmsghdr run{};
    run.msg_hdr.msg_iov = parts.data();
    run.msg_hdr.msg_iovlen = parts.size();
    SegmentControl control;
    set_segment_size(run.msg_hdr, control, 16);
    bool segmentation_works = true;
    net::Sent sent = net::send_messages(sender, &run, 1, &segmentation_works);
    EXPECT_EQ(sent.lost, 0);
    EXPECT_EQ(sent.errno_, 0);
    EXPECT_FALSE(segmentation_works);
    for (int i = 0; i < COUNT; ++i) {
        uint8_t datagram[64];
        ASSERT_EQ(recv(receiver, datagram, sizeof datagram, MSG_DONTWAIT), 16) << i;
        EXPECT_EQ(datagram[12], uint8_t(i));
    }
    close(sender);
    close(receiver);
}

// A connected socket whose earlier datagram met a closed port reports it once, on the next
// call, whichever it is: a receive and a send still do their work.
TEST(DatagramIo, AnEarlierRefusalIsReadAndSentPast) {
    int closed = udp_socket();
    uint16_t port = port_of(closed);
    close(closed);
    int fd = udp_socket(0, port);
    ASSERT_GE(fd, 0);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(send(fd, "x", 1, 0), 1);
        ASSERT_TRUE(wait_for(fd, POLLERR)) << "the refusal";
        int peer = udp_socket(port, port_of(fd));
        ASSERT_GE(peer, 0);
        uint8_t byte = 'y';
        iovec part{&byte, 1};
        mmsghdr messages[2] = {};
        for (mmsghdr& message : messages) {
            message.msg_hdr.msg_iov = &part;
            message.msg_hdr.msg_iovlen = 1;
        }
        if (round == 0) {
            ASSERT_EQ(send(peer, "y", 1, 0), 1);
            ASSERT_TRUE(wait_for(fd, POLLIN));
            EXPECT_EQ(net::receive_messages(fd, messages, 2, 0), 1);
        } else {
            bool segmentation_works = true;
            net::Sent sent = net::send_messages(fd, messages, 2, &segmentation_works);
            EXPECT_EQ(sent.lost, 0);
            EXPECT_EQ(recv(peer, &byte, 1, MSG_DONTWAIT), 1);
            EXPECT_EQ(recv(peer, &byte, 1, MSG_DONTWAIT), 1);
        }
        close(peer);
    }
    close(fd);
}

}  // namespace
}  // namespace kiv
