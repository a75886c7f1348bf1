// How the answers of one batch are laid out as sends: runs of forwards to one peer with one
// length become one segmented send, and everything else goes out alone, in order.
#include <gtest/gtest.h>
#include <netinet/udp.h>

#include <memory>
#include <vector>

#include "batch_io.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::make_addr;

const sockaddr_in PEER_A = make_addr("192.0.2.1", 4000);
const sockaddr_in PEER_B = make_addr("192.0.2.2", 4000);

class PlanSends : public ::testing::Test {
  protected:
    // The next answer in the batch: `length` bytes of `type` to `to`; length 0 is a datagram
    // the core dropped.
    void answer(MsgType type, const sockaddr_in& to, uint32_t length) {
        header_write(batch_->buffers[count_].data(), type, 0);
        batch_->outgoing[count_++] = {to, length};
    }
    void forwards(int how_many, const sockaddr_in& to, uint32_t length) {
        for (int i = 0; i < how_many; ++i)
            answer(MsgType::MSG_DATA, to, length);
    }

    // Each message as {datagrams, segment size (0 when not segmented)}.
    std::vector<std::pair<size_t, int>> plan() {
        int messages = plan_sends(*batch_, count_);
        std::vector<std::pair<size_t, int>> shape;
        for (int i = 0; i < messages; ++i) {
            const msghdr& header = batch_->sends[i].msg_hdr;
            int segment = 0;
            if (const cmsghdr* control = CMSG_FIRSTHDR(&header)) {
                EXPECT_EQ(control->cmsg_level, SOL_UDP);
                EXPECT_EQ(control->cmsg_type, UDP_SEGMENT);
                segment = *reinterpret_cast<const uint16_t*>(CMSG_DATA(control));
            }
            shape.emplace_back(header.msg_iovlen, segment);
        }
        return shape;
    }

    std::unique_ptr<Batch> batch_ = std::make_unique<Batch>();
    int count_ = 0;
};

using Shape = std::vector<std::pair<size_t, int>>;

TEST_F(PlanSends, RunsOfForwardsToOnePeerWithOneLengthShareASend) {
    forwards(3, PEER_A, 100);
    answer(MsgType::MSG_DATA, PEER_A, 0);  // dropped: the run goes on over it
    forwards(2, PEER_A, 100);
    forwards(1, PEER_A, 40);  // another length ends the run, and a lone one is not segmented
    forwards(2, PEER_B, 40);  // another peer
    answer(MsgType::MSG_PONG, PEER_B, 12);  // replies go alone, even in a row
    answer(MsgType::MSG_PONG, PEER_B, 12);
    EXPECT_EQ(plan(), (Shape{{5, 100}, {1, 0}, {2, 40}, {1, 0}, {1, 0}}));
    // The run's datagrams are the batch's, in order, the dropped one left out.
    const msghdr& run = batch_->sends[0].msg_hdr;
    EXPECT_EQ(run.msg_iov[3].iov_base, batch_->buffers[4].data());
    EXPECT_TRUE(addr_equal(*static_cast<const sockaddr_in*>(run.msg_name), PEER_A));
}

TEST_F(PlanSends, ARunStopsAtTheKernelsLimits) {
    forwards(64, PEER_A, 12);  // 64 segments at most
    EXPECT_EQ(plan(), (Shape{{64, 12}}));
    count_ = 0;
    forwards(47, PEER_A, MAX_DATAGRAM);  // and 65000 bytes: 46 of the largest datagrams
    EXPECT_EQ(plan(), (Shape{{46, int(MAX_DATAGRAM)}, {1, 0}}));
}

TEST_F(PlanSends, WithoutSegmentationEveryDatagramGoesAlone) {
    batch_->segmentation_works = false;
    forwards(3, PEER_A, 100);
    EXPECT_EQ(plan(), (Shape{{1, 0}, {1, 0}, {1, 0}}));
}

}  // namespace
}  // namespace kiv
