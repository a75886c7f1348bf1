// Gathering forwards into segmented sends, which is pure and so checked here on its own,
// without a socket; and the layout of a plan as the kernel's messages. The cut of coalesced
// receives is tested with the rest of the shared datagram I/O, in tests/net.
#include "relay/batch_io.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "ipv4.hpp"

namespace kiv {
namespace {

// Sends planned from a window of answers: peer, length (0: dropped) and type.
class SendPlan : public ::testing::Test {
  protected:
    struct Answer {
        int peer;
        uint32_t length;
        MsgType type = MsgType::MSG_DATA;
    };

    // Plans the window, checks what every plan must hold, and returns each send as the
    // positions of its datagrams in the window.
    std::vector<std::vector<int>> plan(const std::vector<Answer>& answers, bool gather = true) {
        for (size_t i = 0; i < answers.size(); ++i) {
            header_write(storage[i], answers[i].type, uint32_t(i));
            batch->datagrams[i] = storage[i];
            batch->outgoing[i] = {peer(answers[i].peer), answers[i].length};
        }
        const kiv::SendPlan& plan = batch->plan;
        plan_sends(batch->plan, batch->outgoing.data(), batch->datagrams.data(),
                   int(answers.size()), gather);
        std::vector<std::vector<int>> sends;
        std::vector<int> times_sent(answers.size());
        std::map<int, int> last_sent;  // peer -> position
        for (int g = 0; g < plan.group_count; ++g) {
            const SendGroup& group = plan.groups[size_t(g)];
            EXPECT_GE(group.count, 1);
            EXPECT_LE(group.count, MAX_SEGMENTS);
            int first = plan.order[group.start];
            sends.emplace_back();
            for (int k = group.start; k < group.start + group.count; ++k) {
                int i = plan.order[size_t(k)];
                sends.back().push_back(i);
                ++times_sent[size_t(i)];
                EXPECT_EQ(group.segment_size, answers[size_t(i)].length);
                EXPECT_EQ(answers[size_t(i)].peer, answers[size_t(first)].peer) << "one peer";
                EXPECT_LT(last_sent.emplace(answers[size_t(i)].peer, -1).first->second, i)
                    << "order";
                last_sent[answers[size_t(i)].peer] = i;
                if (group.count > 1) {
                    EXPECT_EQ(answers[size_t(i)].type, MsgType::MSG_DATA);
                }
            }
            EXPECT_LE(group.count * size_t(group.segment_size),
                      std::max(MAX_SEGMENTED_BYTES, size_t(group.segment_size)));
        }
        for (size_t i = 0; i < answers.size(); ++i)
            EXPECT_EQ(times_sent[i], answers[i].length > 0 ? 1 : 0) << "answer " << i;
        EXPECT_TRUE(plan_is_sound(plan, batch->outgoing.data(), batch->datagrams.data(),
                                  int(answers.size())));
        return sends;
    }

    static Peer peer(int n) {
        return test::make_addr(n % 2 ? "127.0.0.2" : "127.0.0.3", uint16_t(40000 + n));
    }

    std::unique_ptr<Batch> batch = std::make_unique<Batch>();
    uint8_t storage[SEND_WINDOW][HEADER_SIZE];
};
using Sends = std::vector<std::vector<int>>;

TEST_F(SendPlan, InterleavedForwardsAreGatheredPerPeer) {
    std::vector<Answer> answers;
    for (int i = 0; i < 16; ++i)
        answers.push_back({i % 8, 76});
    EXPECT_EQ(plan(answers),
              (Sends{{0, 8}, {1, 9}, {2, 10}, {3, 11}, {4, 12}, {5, 13}, {6, 14}, {7, 15}}));
}

TEST_F(SendPlan, ALaterForwardNeverJumpsAheadOfAnEarlierOneToItsPeer) {
    // A length change and a reply each end the peer's send; a dropped answer does not.
    EXPECT_EQ(plan({{1, 100},
                    {2, 100},
                    {1, 100},
                    {1, 50},
                    {1, 100},
                    {1, 0},
                    {1, 100},
                    {1, 12, MsgType::MSG_PONG},
                    {1, 100},
                    {2, 100}}),
              (Sends{{0, 2}, {1, 9}, {3}, {4, 6}, {7}, {8}}));
    EXPECT_EQ(plan({{1, 76}, {1, 76}, {2, 76}}, false), (Sends{{0}, {1}, {2}}));
}

TEST_F(SendPlan, ASendStopsAtTheKernelsLimits) {
    std::vector<Answer> answers(70, Answer{3, 100});
    answers.insert(answers.end(), 50, Answer{4, 1400});
    std::vector<size_t> sizes;
    for (const auto& send : plan(answers))
        sizes.push_back(send.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 6, 46, 4}));
}

TEST_F(SendPlan, RandomWindowsKeepEveryRule) {
    std::mt19937 random(12);
    for (int window = 0; window < 300 && !HasFailure(); ++window) {
        std::vector<Answer> answers(1 + random() % SEND_WINDOW);
        uint32_t peers = 1 + random() % 1200;
        for (Answer& answer : answers) {
            uint32_t roll = random() % 20;
            answer = {int(random() % peers), roll < 3 ? uint32_t(12 + random() % 1400) : 76};
            if (roll == 3) answer = {answer.peer, 12, MsgType::MSG_ERROR};
            if (roll == 4) answer.length = 0;
        }
        plan(answers);
    }
}

// The checker the asserts use finds a broken plan: a datagram sent twice, one left out, a
// peer's datagrams swapped.
TEST_F(SendPlan, TheCheckerRefusesABrokenPlan) {
    plan({{1, 76}, {1, 76}, {2, 76}});
    auto sound = [&] {
        return plan_is_sound(batch->plan, batch->outgoing.data(), batch->datagrams.data(), 3);
    };
    ASSERT_TRUE(sound());
    kiv::SendPlan& planned = batch->plan;
    ASSERT_EQ(planned.group_count, 2);
    std::swap(planned.order[0], planned.order[1]);
    EXPECT_FALSE(sound()) << "order";
    std::swap(planned.order[0], planned.order[1]);
    planned.order[2] = planned.order[0];
    EXPECT_FALSE(sound()) << "twice";
    planned.order[2] = 2;
    --planned.groups[0].count;
    planned.groups[1].start = 1;
    --planned.datagram_count;
    EXPECT_FALSE(sound()) << "left out";
}

// The kernel's view of a plan: one message per send, to its peer, its datagrams in order,
// and a segment size exactly on the sends of more than one datagram.
TEST_F(SendPlan, TheLayoutGivesTheKernelEachSendWithItsSegmentSize) {
    plan({{1, 76}, {2, 12, MsgType::MSG_PONG}, {1, 76}});
    ASSERT_EQ(lay_out_sends(*batch), 2);
    const msghdr& gathered = batch->sends[0].msg_hdr;
    ASSERT_EQ(gathered.msg_iovlen, 2u);
    EXPECT_EQ(gathered.msg_iov[0].iov_base, batch->datagrams[0]);
    EXPECT_EQ(gathered.msg_iov[1].iov_base, batch->datagrams[2]);
    EXPECT_TRUE(Peer::from_sockaddr(static_cast<const sockaddr*>(gathered.msg_name),
                                    gathered.msg_namelen) == peer(1));
    const cmsghdr* control = CMSG_FIRSTHDR(&gathered);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->cmsg_level, SOL_UDP);
    EXPECT_EQ(control->cmsg_type, UDP_SEGMENT);
    uint16_t segment = 0;
    memcpy(&segment, CMSG_DATA(control), sizeof segment);
    EXPECT_EQ(segment, 76);
    const msghdr& single = batch->sends[1].msg_hdr;
    ASSERT_EQ(single.msg_iovlen, 1u);
    EXPECT_EQ(single.msg_iov[0].iov_len, 12u);
    EXPECT_EQ(single.msg_control, nullptr);
    EXPECT_TRUE(Peer::from_sockaddr(static_cast<const sockaddr*>(single.msg_name),
                                    single.msg_namelen) == peer(2));
}

}  // namespace
}  // namespace kiv
