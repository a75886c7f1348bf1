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

TEST(Segments, AnUncoalescedBufferIsOneDatagramOfItsLength) {
    EXPECT_EQ(cut(76, 0), (Cut{{0, 76}}));
    EXPECT_EQ(cut(0, 0), (Cut{{0, 0}}));
    // Cut by the kernel: longer than what arrived, which the length rule must see.
    EXPECT_EQ(cut(1413, 0, true), (Cut{{0, 1414}}));
}

TEST(Segments, ARunIsCutAtTheSegmentSizeWithAShortLastOne) {
    EXPECT_EQ(cut(250, 100), (Cut{{0, 100}, {100, 100}, {200, 50}}));
    EXPECT_EQ(cut(300, 100), (Cut{{0, 100}, {100, 100}, {200, 100}}));
    EXPECT_EQ(cut(13, 12), (Cut{{0, 12}, {12, 1}}));
    EXPECT_EQ(cut(40, 100), (Cut{{0, 40}}));
}

TEST(Segments, SegmentsAboveTheLargestDatagramKeepTheirRealLength) {
    EXPECT_EQ(cut(3500, 1500), (Cut{{0, 1500}, {1500, 1500}, {3000, 500}}));
}

TEST(Segments, OfACutRunOnlyWholeSegmentsAreHandedOn) {
    EXPECT_EQ(cut(250, 100, true), (Cut{{0, 100}, {100, 100}}));
    EXPECT_EQ(cut(200, 100, true), (Cut{{0, 100}, {100, 100}}));
}

// Sends planned from a window of answers written directly into a batch.
class SendPlan : public ::testing::Test {
  protected:
    struct Answer {
        int peer;
        uint32_t length;  // 0: dropped
        MsgType type = MsgType::MSG_DATA;
    };

    int plan(const std::vector<Answer>& answers) {
        for (size_t i = 0; i < answers.size(); ++i) {
            uint8_t* bytes = storage[i];
            header_write(bytes, answers[i].type, uint32_t(i));
            batch->datagrams[i] = bytes;
            batch->outgoing[i] = {peer(answers[i].peer), answers[i].length};
        }
        return plan_sends(*batch, int(answers.size()));
    }

    static sockaddr_in peer(int n) {
        return test::make_addr(n % 2 ? "127.0.0.2" : "127.0.0.3", uint16_t(40000 + n));
    }

    // Each send as the handling positions of its datagrams, read back from the iovecs.
    std::vector<std::vector<int>> sends(int messages) const {
        std::vector<std::vector<int>> result;
        for (int m = 0; m < messages; ++m) {
            const msghdr& header = batch->sends[m].msg_hdr;
            std::vector<int> members;
            for (size_t k = 0; k < header.msg_iovlen; ++k) {
                auto* base = static_cast<uint8_t*>(header.msg_iov[k].iov_base);
                members.push_back(int(header_value(base)));
            }
            result.push_back(members);
        }
        return result;
    }

    // What every plan must hold: each answer sent once, to its peer, whole; each peer's
    // answers in the order handled; a segmented send made of forwards of one length within
    // the kernel's limits, and marked as segmented exactly when it holds more than one.
    void expect_sound(const std::vector<Answer>& answers, int messages) {
        std::vector<int> times_sent(answers.size());
        std::map<int, int> last_sent;  // peer -> handling position
        for (int m = 0; m < messages; ++m) {
            const msghdr& header = batch->sends[m].msg_hdr;
            ASSERT_GE(header.msg_iovlen, 1u);
            ASSERT_LE(header.msg_iovlen, size_t(MAX_SEGMENTS));
            size_t bytes = 0;
            for (size_t k = 0; k < header.msg_iovlen; ++k) {
                const iovec& datagram = header.msg_iov[k];
                int i = int(header_value(static_cast<uint8_t*>(datagram.iov_base)));
                ASSERT_EQ(datagram.iov_base, batch->datagrams[i]);
                ASSERT_EQ(datagram.iov_len, answers[i].length);
                EXPECT_TRUE(
                    addr_equal(*static_cast<sockaddr_in*>(header.msg_name), peer(answers[i].peer)));
                auto last = last_sent.find(answers[i].peer);
                if (last != last_sent.end()) {
                    EXPECT_LT(last->second, i) << "peer order broken";
                }
                last_sent[answers[i].peer] = i;
                ++times_sent[i];
                bytes += datagram.iov_len;
                if (header.msg_iovlen > 1) {
                    EXPECT_EQ(answers[i].type, MsgType::MSG_DATA);
                    EXPECT_EQ(datagram.iov_len, header.msg_iov[0].iov_len);
                }
            }
            if (header.msg_iovlen > 1) {
                EXPECT_LE(bytes, MAX_SEGMENTED_BYTES);
                ASSERT_NE(header.msg_control, nullptr);
                const cmsghdr* control = CMSG_FIRSTHDR(&header);
                uint16_t segment = 0;
                memcpy(&segment, CMSG_DATA(control), sizeof segment);
                EXPECT_EQ(segment, header.msg_iov[0].iov_len);
            } else {
                EXPECT_EQ(header.msg_control, nullptr);
            }
        }
        for (size_t i = 0; i < answers.size(); ++i)
            EXPECT_EQ(times_sent[i], answers[i].length > 0 ? 1 : 0) << "answer " << i;
    }

    std::unique_ptr<Batch> batch = std::make_unique<Batch>();
    uint8_t storage[SEND_WINDOW][MAX_DATAGRAM];
};

TEST_F(SendPlan, InterleavedForwardsAreGatheredPerPeer) {
    std::vector<Answer> answers;
    for (int i = 0; i < 16; ++i)
        answers.push_back({i % 8, 76});
    int messages = plan(answers);
    EXPECT_EQ(sends(messages),
              (std::vector<std::vector<int>>{
                  {0, 8}, {1, 9}, {2, 10}, {3, 11}, {4, 12}, {5, 13}, {6, 14}, {7, 15}}));
    expect_sound(answers, messages);
}

TEST_F(SendPlan, ALaterForwardNeverJumpsAheadOfAnEarlierOneToItsPeer) {
    // A length change, then a reply, each end the peer's send; a dropped answer does not.
    std::vector<Answer> answers = {{1, 100}, {2, 100}, {1, 100}, {1, 50},
                                   {1, 100}, {1, 0},   {1, 100}, {1, 12, MsgType::MSG_PONG},
                                   {1, 100}, {2, 100}};
    int messages = plan(answers);
    EXPECT_EQ(sends(messages),
              (std::vector<std::vector<int>>{{0, 2}, {1, 9}, {3}, {4, 6}, {7}, {8}}));
    expect_sound(answers, messages);
}

TEST_F(SendPlan, ASendStopsAtTheKernelsLimits) {
    std::vector<Answer> answers(70, Answer{3, 100});
    answers.insert(answers.end(), 50, Answer{4, 1400});
    int messages = plan(answers);
    std::vector<size_t> sizes;
    for (const auto& send : sends(messages))
        sizes.push_back(send.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 6, 46, 4}));
    expect_sound(answers, messages);
}

TEST_F(SendPlan, WithoutSegmentationEveryDatagramIsItsOwnSendInOrder) {
    batch->segmentation_works = false;
    std::vector<Answer> answers = {{1, 76}, {1, 76}, {2, 76}, {1, 76}};
    int messages = plan(answers);
    EXPECT_EQ(sends(messages), (std::vector<std::vector<int>>{{0}, {1}, {2}, {3}}));
    expect_sound(answers, messages);
}

TEST_F(SendPlan, RandomWindowsAreSoundAndLaterWindowsStartAfresh) {
    std::mt19937 random(12);
    for (int window = 0; window < 300; ++window) {
        std::vector<Answer> answers(1 + random() % SEND_WINDOW);
        int peers = 1 + int(random() % 1200);
        for (Answer& answer : answers) {
            answer.peer = int(random() % uint32_t(peers));
            uint32_t roll = random() % 20;
            answer.length = roll == 0 ? 0 : roll < 3 ? uint32_t(12 + random() % 1400) : 76;
            if (roll == 3) answer.type = MsgType::MSG_ERROR, answer.length = 12;
        }
        int messages = plan(answers);
        expect_sound(answers, messages);
        if (HasFailure()) FAIL() << "window " << window;
    }
}

}  // namespace
}  // namespace kiv
