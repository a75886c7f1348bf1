// A client that passes its datagrams to the kernel as segmented sends (UDP GSO) hands the
// relay coalesced runs. The host must see exactly what separate sends would give: every
// datagram whole, in order, each judged on its own (one not the relay's and an oversized one
// dropped, a ping among the data answered).
#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipv4.hpp"
#include "net/segment_control.hpp"
#include "relay_process.hpp"

namespace kiv::test {
namespace {

// Sends `datagrams` from `fd` to the relay as one segmented send of `segment` bytes each.
void send_run(int fd, uint16_t relay_port, const std::vector<Bytes>& datagrams, uint16_t segment) {
    Bytes run;
    for (const Bytes& datagram : datagrams)
        run.insert(run.end(), datagram.begin(), datagram.end());
    sockaddr_in relay = loopback(relay_port);
    iovec iov{run.data(), run.size()};
    SegmentControl control{};
    msghdr message{&relay, sizeof relay, &iov, 1, nullptr, 0, 0};
    set_segment_size(message, control, segment);
    ASSERT_EQ(sendmsg(fd, &message, 0), ssize_t(run.size())) << strerror(errno);
}

// A datagram of `length` bytes whose payload is told apart by its sequence number.
Bytes numbered(MsgType type, uint32_t value, size_t length, size_t sequence) {
    Bytes payload(length - HEADER_SIZE);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(sequence * 13 + i);
    return datagram(type, value, payload);
}

TEST(EndToEndCoalesced, SegmentedRunsArriveAtTheHostWholeAndInOrder) {
    RelayProcess relay;
    Peer host;
    host.send_to(relay.port(), header(MSG_OPEN, 0));
    std::optional<Bytes> opened = host.receive();
    ASSERT_TRUE(opened);
    uint32_t room = value_of(*opened);
    int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    send_run(client, relay.port(), {header(MSG_DATA, room)}, 12);
    std::optional<Bytes> join = host.receive();
    ASSERT_TRUE(join);

    std::vector<Bytes> first, second, expected;
    for (size_t i = 0; i < 20; ++i) {
        MsgType type = i == 7 ? MSG_PING : MSG_DATA;
        first.push_back(numbered(type, i == 7 ? 0x01020304 : room, i < 19 ? 100 : 37, i));
        if (i == 11) first.back()[0] = 'X';  // not the relay's
        if (i != 7 && i != 11) expected.push_back(first.back());
    }
    // Segments above the largest datagram: the data among them is oversized; the short last
    // one is an ordinary datagram.
    second = {numbered(MSG_DATA, room, 1500, 20), numbered(MSG_DATA, room, 300, 21)};
    expected.push_back(second.back());
    // Both runs wait in the relay's socket together, so they are handled in one batch.
    ASSERT_EQ(kill(relay.pid(), SIGSTOP), 0);
    send_run(client, relay.port(), first, 100);
    send_run(client, relay.port(), second, 1500);
    ASSERT_EQ(kill(relay.pid(), SIGCONT), 0);

    for (size_t i = 0; i < expected.size(); ++i) {
        Bytes forwarded = expected[i];
        std::copy(join->begin() + 8, join->begin() + 12, forwarded.begin() + 8);  // the tag
        std::optional<Bytes> got = host.receive();
        ASSERT_TRUE(got) << "datagram " << i << " of " << expected.size() << " missing";
        ASSERT_EQ(*got, forwarded) << "datagram " << i;
    }
    EXPECT_FALSE(host.receive(200ms)) << "more datagrams than expected";
    pollfd waiting{client, POLLIN, 0};
    Bytes pong(64);
    ASSERT_EQ(poll(&waiting, 1, 5000), 1);
    pong.resize(size_t(std::max(recv(client, pong.data(), pong.size(), 0), ssize_t(0))));
    EXPECT_EQ(pong, header(MSG_PONG, 0x01020304));
    close(client);
}

}  // namespace
}  // namespace kiv::test
