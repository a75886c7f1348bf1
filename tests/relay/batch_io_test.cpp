// Cutting coalesced receives into datagrams, and gathering forwards into segmented sends:
// both are pure, so they are checked here on their own, without a socket.
#include "batch_io.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "ipv4.hpp"
#include "segments.hpp"

namespace kiv {
namespace {

using Cut = std::vector<std::pair<size_t, size_t>>;  // offset, length

Cut cut(size_t received, size_t segment_size, bool truncated = false) {
    static uint8_t buffer[RECEIVE_SLOT];
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
}

TEST(Segments, WhatTheKernelCutIsNeverPassedOffAsWhole) {
    EXPECT_EQ(cut(1413, 0, true), (Cut{{0, 1414}}));
    EXPECT_EQ(cut(250, 100, true), (Cut{{0, 100}, {100, 100}}));
}

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
    std::vector<std::vector<int>> plan(const std::vector<Answer>& answers) {
        for (size_t i = 0; i < answers.size(); ++i) {
            header_write(storage[i], answers[i].type, uint32_t(i));
            batch->datagrams[i] = storage[i];
            batch->outgoing[i] = {peer(answers[i].peer), answers[i].length};
        }
        int messages = plan_sends(*batch, int(answers.size()));
        std::vector<std::vector<int>> sends;
        std::vector<int> times_sent(answers.size());
        std::map<int, int> last_sent;  // peer -> position
        for (int m = 0; m < messages; ++m) {
            const msghdr& header = batch->sends[m].msg_hdr;
            EXPECT_LE(header.msg_iovlen, size_t(MAX_SEGMENTS));
            EXPECT_EQ(header.msg_control != nullptr, header.msg_iovlen > 1);
            sends.emplace_back();
            for (size_t k = 0; k < header.msg_iovlen; ++k) {
                const iovec& datagram = header.msg_iov[k];
                int i = int(header_value(static_cast<uint8_t*>(datagram.iov_base)));
                sends.back().push_back(i);
                ++times_sent[i];
                EXPECT_EQ(datagram.iov_len, answers[i].length);
                EXPECT_TRUE(
                    addr_equal(*static_cast<sockaddr_in*>(header.msg_name), peer(answers[i].peer)));
                EXPECT_LT(last_sent.emplace(answers[i].peer, -1).first->second, i) << "order";
                last_sent[answers[i].peer] = i;
                if (header.msg_iovlen > 1) {
                    EXPECT_EQ(answers[i].type, MsgType::MSG_DATA);
                    EXPECT_EQ(datagram.iov_len, header.msg_iov[0].iov_len);
                }
            }
            EXPECT_LE(header.msg_iovlen * header.msg_iov[0].iov_len,
                      std::max(MAX_SEGMENTED_BYTES, header.msg_iov[0].iov_len));
        }
        for (size_t i = 0; i < answers.size(); ++i)
            EXPECT_EQ(times_sent[i], answers[i].length > 0 ? 1 : 0) << "answer " << i;
        return sends;
    }

    static sockaddr_in peer(int n) {
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
    batch->segmentation_works = false;
    EXPECT_EQ(plan({{1, 76}, {1, 76}, {2, 76}}), (Sends{{0}, {1}, {2}}));
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

}  // namespace
}  // namespace kiv
