// The frames two kiv ends exchange: every size an application may send is cut and joined
// again whole in any order, and nothing malformed gets through.
#include "tunnel/tunnel_frame.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace kiv::tunnel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(i * 7 + length);
    return bytes;
}

// Every frame of one datagram, as the sending end writes them.
std::vector<Bytes> cut(const Bytes& data, uint16_t channel, uint16_t generation, uint32_t id) {
    std::vector<Bytes> frames;
    size_t count = frames_for(data.size());
    for (size_t index = 0; index < count; ++index) {
        Bytes frame(client::MAX_PAYLOAD);
        size_t length = count == 1 ? write_whole(frame.data(), channel, generation, 42, data.data(),
                                                 data.size())
                                   : write_piece(frame.data(), channel, generation, 42, id,
                                                 data.data(), data.size(), index);
        EXPECT_LE(length, client::MAX_PAYLOAD);
        frame.resize(length);
        frames.push_back(frame);
    }
    return frames;
}

// Feeds frames to a reassembly; the datagrams that came out whole.
std::vector<Bytes> join(Reassembly& pieces, const std::vector<Bytes>& frames, uint64_t now_us = 0) {
    std::vector<Bytes> out;
    for (const Bytes& bytes : frames) {
        Frame frame = parse_frame(bytes.data(), bytes.size());
        if (frame.kind == FrameKind::whole) {
            out.emplace_back(frame.data, frame.data + frame.length);
            continue;
        }
        EXPECT_EQ(frame.kind, FrameKind::piece);
        Reassembly::Whole whole{};
        if (pieces.add(frame, now_us, &whole)) {
            EXPECT_EQ(whole.channel, 1000);
            EXPECT_EQ(whole.generation, 7);
            out.emplace_back(whole.data, whole.data + whole.length);
        }
    }
    return out;
}

TEST(TunnelFrame, EverySizeCrossesWholeInOrderReversedAndDuplicated) {
    static Reassembly pieces;
    const struct {
        size_t length;
        size_t frames;
    } cases[] = {{0, 1},
                 {1, 1},
                 {WHOLE_DATA, 1},
                 {WHOLE_DATA + 1, 2},
                 {1452, 2},
                 {2 * PIECE_DATA, 2},
                 {2 * PIECE_DATA + 1, 3},
                 {MAX_APP_DATAGRAM, MAX_PIECES}};
    uint32_t id = 0;
    for (const auto& [length, expected_frames] : cases) {
        Bytes data = pattern(length);
        std::vector<Bytes> frames = cut(data, 1000, 7, ++id);
        ASSERT_EQ(frames.size(), expected_frames) << length;
        EXPECT_EQ(join(pieces, frames), std::vector<Bytes>{data}) << length;
        // Backwards, and every piece but the one that completes the set twice over.
        frames = cut(data, 1000, 7, ++id);
        std::reverse(frames.begin(), frames.end());
        std::vector<Bytes> doubled;
        for (size_t i = 0; i < frames.size(); ++i) {
            doubled.insert(doubled.end(), i + 1 < frames.size() ? 2 : 1, frames[i]);
        }
        EXPECT_EQ(join(pieces, doubled), std::vector<Bytes>{data})
            << "reversed, doubled " << length;
        EXPECT_EQ(pieces.in_progress(), 0);
    }
}

TEST(TunnelFrame, ALostPieceLosesItsDatagramAloneAndMemoryStaysBounded) {
    static Reassembly pieces;
    // Five datagrams, each missing its first piece, then one complete: the complete one
    // comes out, and no more than SLOTS half-datagrams are ever held.
    std::vector<Bytes> frames;
    for (uint32_t id = 1; id <= 5; ++id) {
        std::vector<Bytes> all = cut(pattern(3000), 1000, 7, id);
        frames.insert(frames.end(), all.begin() + 1, all.end());
    }
    Bytes whole = pattern(4000);
    std::vector<Bytes> complete = cut(whole, 1000, 7, 6);
    frames.insert(frames.end(), complete.begin(), complete.end());
    EXPECT_EQ(join(pieces, frames), std::vector<Bytes>{whole});
    // Six datagrams took a slot each, so the two started first were given up.
    EXPECT_EQ(pieces.in_progress(), Reassembly::SLOTS - 1);
    EXPECT_EQ(pieces.abandoned(), 6u - Reassembly::SLOTS);

    // A piece that comes after the wait is over never completes the old pieces it belongs
    // to: it starts a datagram of its own.
    static Reassembly late;
    std::vector<Bytes> parts = cut(pattern(2000), 1000, 7, 9);
    EXPECT_TRUE(join(late, {parts[0]}, 0).empty());
    EXPECT_TRUE(join(late, {parts[1]}, Reassembly::PIECE_WAIT_US).empty());
    EXPECT_EQ(late.abandoned(), 1u);
}

TEST(TunnelFrame, MalformedFramesAreRefused) {
    auto piece = [](size_t length, uint8_t index, uint8_t count, uint16_t channel = 1) {
        Bytes frame = {uint8_t(FrameKind::piece),
                       uint8_t(channel),
                       uint8_t(channel >> 8),
                       0,
                       0,
                       0,
                       0,
                       1,
                       0,
                       0,
                       0,
                       index,
                       count};
        frame.resize(PIECE_HEADER + length, 0xAA);
        return frame;
    };
    Bytes hello(HELLO_SIZE);
    write_hello(hello.data(), FrameKind::hello, 0x1122334455667788);
    Bytes wrong_version = hello;
    wrong_version[5] = 1;
    Bytes welcome(WELCOME_SIZE);
    write_welcome(welcome.data(), 0x55, 0xBEEF, 7);
    const std::pair<Bytes, const char*> refused[] = {
        {{}, "empty"},
        {{uint8_t(FrameKind::whole), 0, 0, 0}, "short whole header"},
        {{uint8_t(FrameKind::whole), 0x00, 0x04, 0, 0, 0, 0}, "channel 1024"},
        {{9, 0, 0, 0, 0, 1}, "unknown kind"},
        {piece(PIECE_DATA, 0, 1), "a set of one piece"},
        {piece(PIECE_DATA, 2, 2), "index past the count"},
        {piece(PIECE_DATA + 1, 1, 2), "a last piece too long"},
        {piece(0, 1, 2), "an empty piece"},
        {piece(PIECE_DATA, 0, uint8_t(MAX_PIECES + 1)), "more pieces than a datagram has"},
        {piece(MAX_APP_DATAGRAM / MAX_PIECES + 1, MAX_PIECES - 1, MAX_PIECES),
         "a last piece of a datagram over 65507 bytes"},
        {wrong_version, "a hello of another version"},
        {Bytes(hello.begin(), hello.end() - 1), "a short hello"},
        {Bytes(welcome.begin(), welcome.end() - 2), "a welcome without its binding"},
    };
    for (const auto& [bytes, why] : refused) {
        EXPECT_EQ(parse_frame(bytes.data(), bytes.size()).kind, FrameKind::invalid) << why;
    }
    Frame parsed = parse_frame(hello.data(), hello.size());
    EXPECT_EQ(parsed.kind, FrameKind::hello);
    EXPECT_EQ(parsed.identity, 0x1122334455667788u);
    EXPECT_TRUE(is_hello(hello.data(), hello.size()));
    parsed = parse_frame(welcome.data(), welcome.size());
    EXPECT_EQ(parsed.kind, FrameKind::welcome);
    EXPECT_EQ(parsed.identity, 0x55u);
    EXPECT_EQ(parsed.binding, 0xBEEF);
    EXPECT_FALSE(is_hello(welcome.data(), welcome.size()));
    Bytes who(HELLO_SIZE);
    write_hello(who.data(), FrameKind::who, 0);
    EXPECT_EQ(parse_frame(who.data(), who.size()).kind, FrameKind::who);
    EXPECT_FALSE(is_hello(who.data(), who.size()));
    EXPECT_FALSE(is_hello(wrong_version.data(), wrong_version.size()));
}

// Pieces that parse one by one but are not one datagram as a kiv end cuts it: nothing comes
// out, in whichever order they arrive.
TEST(TunnelFrame, PiecesThatDisagreeNeverMakeADatagram) {
    auto pieces_of = [](std::vector<size_t> lengths) {
        std::vector<Bytes> frames;
        for (size_t index = 0; index < lengths.size(); ++index) {
            Bytes frame(PIECE_HEADER + lengths[index], uint8_t(index));
            frame[0] = uint8_t(FrameKind::piece);
            frame[1] = uint8_t(1000 & 0xFF), frame[2] = uint8_t(1000 >> 8);
            frame[3] = 7, frame[4] = 0;
            frame[5] = frame[6] = 0;
            frame[7] = 1, frame[8] = frame[9] = frame[10] = 0;
            frame[11] = uint8_t(index);
            frame[12] = uint8_t(lengths.size());
            frames.push_back(frame);
        }
        return frames;
    };
    std::vector<size_t> over_the_largest(MAX_PIECES, PIECE_DATA);
    over_the_largest.back() = MAX_APP_DATAGRAM - (MAX_PIECES - 1) * PIECE_DATA + 1;
    const std::pair<std::vector<size_t>, const char*> cases[] = {
        {{800, 700, 100}, "pieces before the last of two sizes"},
        {{700, 800}, "a last piece longer than the others"},
        {over_the_largest, "a datagram over 65507 bytes"},
    };
    for (const auto& [lengths, why] : cases) {
        std::vector<Bytes> frames = pieces_of(lengths);
        static Reassembly forwards, backwards;
        forwards.clear(), backwards.clear();
        EXPECT_TRUE(join(forwards, frames).empty()) << why;
        std::reverse(frames.begin(), frames.end());
        EXPECT_TRUE(join(backwards, frames).empty()) << why << ", reversed";
    }
}

// What a room member may send is anything: random pieces that pass the parser must never
// make the reassembly write outside a slot (the sanitizer build watches) or hand out a
// datagram longer than the largest.
TEST(TunnelFrame, RandomPiecesStayInsideTheirSlots) {
    static Reassembly pieces;
    std::mt19937 random(5);
    Bytes frame(client::MAX_PAYLOAD);
    int accepted = 0, completed = 0;
    for (int round = 0; round < 200000; ++round) {
        size_t length = PIECE_HEADER + 1 + random() % PIECE_DATA;
        if (random() % 2 == 0) length = PIECE_HEADER + PIECE_DATA;
        for (size_t i = 0; i < PIECE_HEADER; ++i)
            frame[i] = uint8_t(random());
        // Few channels, generations and datagram numbers, so that pieces meet.
        frame[0] = uint8_t(FrameKind::piece);
        frame[1] &= 0x01;
        frame[2] = frame[3] = frame[4] = 0;
        frame[5] = frame[6] = 0;
        frame[7] &= 0x03;
        frame[8] = frame[9] = frame[10] = 0;
        frame[12] = uint8_t(2 + random() % (MAX_PIECES - 1));
        frame[11] = uint8_t(random() % frame[12]);
        Frame parsed = parse_frame(frame.data(), length);
        if (parsed.kind != FrameKind::piece) continue;
        ++accepted;
        Reassembly::Whole whole{};
        if (pieces.add(parsed, uint64_t(round) * 10, &whole)) {
            ++completed;
            ASSERT_LE(whole.length, MAX_APP_DATAGRAM);
        }
    }
    EXPECT_GT(accepted, 50000);
    EXPECT_GT(completed, 0);
}

}  // namespace
}  // namespace kiv::tunnel
