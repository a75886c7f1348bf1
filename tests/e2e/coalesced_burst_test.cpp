// A client that passes its datagrams to the kernel as segmented sends (UDP GSO) hands the
// relay coalesced runs. The host must see exactly what separate sends would give: every
// datagram whole, in order, each judged on its own (an oversized one dropped, a ping among
// data answered).
#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay_process.hpp"

namespace kiv::test {
namespace {

constexpr uint8_t MSG_OPEN = 1;
constexpr uint8_t MSG_DATA = 3;
constexpr uint8_t MSG_PING = 7;
constexpr uint8_t MSG_PONG = 8;

// A client socket that sends one run of datagrams per segmented send.
class SegmentingClient {
  public:
    explicit SegmentingClient(uint16_t relay_port) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        relay_.sin_family = AF_INET;
        relay_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        relay_.sin_port = htons(relay_port);
    }
    ~SegmentingClient() { close(fd_); }

    // All datagrams but the last must be `segment` bytes long.
    void send_run(const std::vector<Bytes>& datagrams, uint16_t segment) const {
        Bytes run;
        for (const Bytes& datagram : datagrams)
            run.insert(run.end(), datagram.begin(), datagram.end());
        iovec iov{run.data(), run.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof segment)] = {};
        msghdr message{};
        message.msg_name = const_cast<sockaddr_in*>(&relay_);
        message.msg_namelen = sizeof relay_;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
        cmsg->cmsg_level = SOL_UDP;
        cmsg->cmsg_type = UDP_SEGMENT;
        cmsg->cmsg_len = CMSG_LEN(sizeof segment);
        memcpy(CMSG_DATA(cmsg), &segment, sizeof segment);
        ASSERT_EQ(sendmsg(fd_, &message, 0), ssize_t(run.size())) << strerror(errno);
    }

    std::optional<Bytes> receive(int wait_ms = 5000) const {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, wait_ms) <= 0) return std::nullopt;
        Bytes datagram(2048);
        ssize_t length = recv(fd_, datagram.data(), datagram.size(), 0);
        if (length < 0) return std::nullopt;
        datagram.resize(size_t(length));
        return datagram;
    }

  private:
    int fd_ = -1;
    sockaddr_in relay_{};
};

// A datagram of `length` bytes whose payload names its sequence number in every byte.
Bytes numbered(uint8_t type, uint32_t value, size_t length, size_t sequence) {
    Bytes payload(length - 12);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(sequence * 13 + i);
    return with_payload(header(type, value), payload);
}

TEST(EndToEndCoalesced, SegmentedRunsArriveAtTheHostWholeAndInOrder) {
    RelayProcess relay;
    Peer host;
    host.send_to(relay.port(), header(MSG_OPEN, 0));
    std::optional<Bytes> opened = host.receive();
    ASSERT_TRUE(opened);
    uint32_t room = value_of(*opened);
    SegmentingClient client(relay.port());
    client.send_run({header(MSG_DATA, room)}, 12);
    std::optional<Bytes> join = host.receive();
    ASSERT_TRUE(join);
    uint32_t tag = value_of(*join);

    // The runs wait in the relay's socket together, so they are handled in one batch.
    std::vector<Bytes> expected;
    size_t sequence = 0;
    std::vector<Bytes> first, second, third;
    for (int i = 0; i < 20; ++i) {
        first.push_back(numbered(MSG_DATA, room, i < 19 ? 100 : 37, ++sequence));
        expected.push_back(first.back());
    }
    // Segments above the largest datagram: the data among them is oversized and dropped,
    // the ping is answered, the short last one is an ordinary datagram.
    second.push_back(numbered(MSG_DATA, room, 1500, ++sequence));
    second.push_back(numbered(MSG_PING, 0x01020304, 1500, ++sequence));
    second.push_back(numbered(MSG_DATA, room, 300, ++sequence));
    expected.push_back(second.back());
    for (int i = 0; i < 64; ++i) {
        third.push_back(numbered(MSG_DATA, room, 76, ++sequence));
        if (i == 30) third.back()[0] = 'X';  // not the relay's: dropped alone
        if (i != 30) expected.push_back(third.back());
    }
    ASSERT_EQ(kill(relay.pid(), SIGSTOP), 0);
    client.send_run(first, 100);
    client.send_run(second, 1500);
    client.send_run(third, 76);
    ASSERT_EQ(kill(relay.pid(), SIGCONT), 0);

    for (size_t i = 0; i < expected.size(); ++i) {
        Bytes forwarded = expected[i];
        forwarded[8] = uint8_t(tag);  // the room id becomes the client's tag
        forwarded[9] = forwarded[10] = forwarded[11] = 0;
        std::optional<Bytes> got = host.receive();
        ASSERT_TRUE(got) << "datagram " << i << " of " << expected.size() << " missing";
        ASSERT_EQ(*got, forwarded) << "datagram " << i;
    }
    EXPECT_FALSE(host.receive(200ms)) << "more datagrams than expected";
    std::optional<Bytes> pong = client.receive();
    ASSERT_TRUE(pong);
    EXPECT_EQ(*pong, header(MSG_PONG, 0x01020304));
}

}  // namespace
}  // namespace kiv::test
