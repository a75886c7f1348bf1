// Who gets a socket and an entry: kiv host's clients and sockets, kiv join's local senders,
// and how often either writes a line about them. Driven by a clock the tests step.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "kiv/tunnel.hpp"
#include "tunnel/forward_table.hpp"
#include "tunnel/sender_table.hpp"

namespace kiv::tunnel {
namespace {

using Verdict = ForwardTable::Verdict;
constexpr uint64_t SECOND = 1'000'000;

TEST(ForwardTable, AClientThatKeepsTalkingKeepsItsSocketWhileAnotherTagChurns) {
    auto table = std::make_unique<ForwardTable>();
    uint16_t honest = table->add_client(Tag(1), 0);
    ForwardTable::Assignment mine = table->assign(honest, 0, 0, 0);
    ASSERT_EQ(mine.verdict, Verdict::opened);
    // Another member joins and leaves over and over: every tag is new, and once the entries
    // are gone the newcomers are refused instead of taking the honest client's.
    uint32_t tag = 2;
    for (int i = 1; i < ForwardTable::CLIENTS; ++i, ++tag) {
        uint16_t churner = table->add_client(Tag(tag), 0);
        ASSERT_NE(churner, ForwardTable::NONE);
        ASSERT_EQ(table->assign(churner, 0, 0, 0).verdict, Verdict::opened);
    }
    EXPECT_EQ(table->add_client(Tag(tag), 0), ForwardTable::NONE);
    // The honest client sends every 200 ms for a minute and more; the churners fall silent.
    int closed = 0;
    for (uint64_t now_us = 200'000; now_us <= 61 * SECOND; now_us += 200'000) {
        ForwardTable::Assignment again = table->assign(honest, 0, 0, now_us);
        ASSERT_EQ(again.verdict, Verdict::existing);
        ASSERT_EQ(again.socket, mine.socket);
        table->expire(
            now_us, ForwardTable::SOCKETS, [&](uint16_t) { ++closed; }, [](uint16_t) {});
    }
    EXPECT_EQ(closed, ForwardTable::CLIENTS - 1);
    EXPECT_EQ(table->client_by_tag(Tag(1)), honest);
    EXPECT_NE(table->add_client(Tag(tag), 61 * SECOND), ForwardTable::NONE);
}

TEST(ForwardTable, ANewerSenderOnAChannelGetsAFreshSocketAndALateOneNone) {
    auto table = std::make_unique<ForwardTable>();
    uint16_t join = table->hello(Tag(5), 42, 0, [](uint16_t) { FAIL(); });
    const struct {
        uint16_t generation;
        Verdict verdict;
    } steps[] = {{1, Verdict::opened},        {1, Verdict::existing},   {2, Verdict::replaced},
                 {1, Verdict::stale},         {0xFFFF, Verdict::stale}, {0x8001, Verdict::replaced},
                 {0xFFFF, Verdict::replaced}, {2, Verdict::replaced},   {2, Verdict::existing}};
    for (const auto& [generation, verdict] : steps) {
        ForwardTable::Assignment assignment = table->assign(join, 17, generation, 0);
        EXPECT_EQ(assignment.verdict, verdict) << "generation " << generation;
    }
    EXPECT_EQ(table->open_sockets(), 1);
}

TEST(ForwardTable, AJoinBackUnderANewTagKeepsItsSockets) {
    auto table = std::make_unique<ForwardTable>();
    uint16_t join = table->hello(Tag(3), 0xABCD, 0, [](uint16_t) { FAIL(); });
    for (uint16_t channel = 0; channel < 3; ++channel)
        table->assign(join, channel, 1, 0);
    // The new tag's first datagram overtook its hello and made a plain client with a socket:
    // that one goes, the join's own stay.
    uint16_t overtaken = table->add_client(Tag(9), SECOND);
    table->assign(overtaken, 0, 0, SECOND);
    int closed = 0;
    EXPECT_EQ(table->hello(Tag(9), 0xABCD, SECOND, [&](uint16_t) { ++closed; }), join);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(table->client_by_tag(Tag(9)), join);
    EXPECT_EQ(table->client_by_tag(Tag(3)), ForwardTable::NONE);
    EXPECT_EQ(table->client(join).sockets, 3);
    EXPECT_EQ(table->assign(join, 2, 1, SECOND).verdict, Verdict::existing);
    // Another identity is another client.
    EXPECT_NE(table->hello(Tag(10), 0xABCE, SECOND, [](uint16_t) {}), join);
}

TEST(ForwardTable, WhenEverySocketIsTakenNewChannelsAreRefused) {
    auto table = std::make_unique<ForwardTable>();
    int opened = 0;
    for (uint32_t tag = 1; opened < ForwardTable::SOCKETS; ++tag) {
        uint16_t client = table->hello(Tag(tag), tag, 0, [](uint16_t) {});
        for (uint16_t channel = 0; channel < CHANNELS && opened < ForwardTable::SOCKETS;
             ++channel, ++opened) {
            ASSERT_EQ(table->assign(client, channel, 1, 0).verdict, Verdict::opened);
        }
    }
    uint16_t last = table->hello(Tag(100), 100, 0, [](uint16_t) {});
    EXPECT_EQ(table->assign(last, 0, 1, 0).verdict, Verdict::full);
}

TEST(SenderTable, AQuietSenderGivesItsEntryToANewcomerWithANewerGeneration) {
    auto table = std::make_unique<SenderTable>();
    // Towards a plain host: eight places.
    for (uint16_t port = 1; port <= 8; ++port) {
        SenderTable::Admission admission = table->admit(Peer::ipv4(0x7F000001, port), 0, 8);
        EXPECT_EQ(admission.outcome, SenderTable::Outcome::added);
        EXPECT_EQ(admission.channel, port - 1);
    }
    Peer ninth = Peer::ipv4(0x7F000001, 9);
    EXPECT_EQ(table->admit(ninth, SENDER_QUIET_US - 1, 8).outcome, SenderTable::Outcome::full);
    for (uint16_t channel = 0; channel < 8; ++channel) {
        if (channel != 5) table->touch(channel, SENDER_QUIET_US);
    }
    SenderTable::Admission admission = table->admit(ninth, SENDER_QUIET_US, 8);
    EXPECT_EQ(admission.outcome, SenderTable::Outcome::took_over);
    EXPECT_EQ(admission.channel, 5);
    EXPECT_EQ(admission.previous, Peer::ipv4(0x7F000001, 6));
    EXPECT_EQ(table->sender(5).generation, 2);
    EXPECT_EQ(table->find(Peer::ipv4(0x7F000001, 6)), SenderTable::NONE);
    EXPECT_EQ(table->admit(ninth, SENDER_QUIET_US, 8).outcome, SenderTable::Outcome::known);
}

TEST(SenderTable, TheIndexAgreesWithAPlainMapThroughChurn) {
    auto table = std::make_unique<SenderTable>();
    std::map<std::string, uint16_t> model;
    auto key = [](const Peer& peer) {
        char text[Peer::TEXT_CAPACITY];
        return std::string(peer.write_text(text, sizeof text));
    };
    std::mt19937 random(17);
    uint64_t now_us = 0;
    for (int step = 0; step < 20000; ++step) {
        now_us += 1000;
        // Fewer peers than entries, packed close, so that buckets collide and runs wrap.
        Peer peer = Peer::ipv4(0x7F000000 | (random() % 16), uint16_t(1 + random() % 60));
        if (random() % 3 == 0) {
            uint16_t channel = table->find(peer);
            if (channel != SenderTable::NONE) table->forget(channel);
            model.erase(key(peer));
        } else {
            SenderTable::Admission admission = table->admit(peer, now_us, CHANNELS);
            ASSERT_NE(admission.outcome, SenderTable::Outcome::full);
            if (admission.outcome == SenderTable::Outcome::known) {
                ASSERT_EQ(model.at(key(peer)), admission.channel);
            }
            model[key(peer)] = admission.channel;
        }
        if (step % 997 == 0) {
            for (const auto& [text, channel] : model) {
                Peer known = table->sender(channel).source;
                ASSERT_EQ(key(known), text);
                ASSERT_EQ(table->find(known), channel);
            }
        }
    }
    int forgotten = 0;
    table->expire(now_us + TUNNEL_IDLE_US, CHANNELS, [&](uint16_t) { ++forgotten; });
    EXPECT_EQ(forgotten, int(model.size()));
}

std::string read_all(FILE* file) {
    std::string text(size_t(ftell(file)), '\0');
    rewind(file);
    size_t got = fread(text.data(), 1, text.size(), file);
    text.resize(got);
    return text;
}

TEST(EventReport, AtMostOneLineASecondHoweverManyEvents) {
    const char* const labels[] = {"heard", "dropped"};
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    {
        cli::EventReport report("kiv test", labels, 2, out);
        report.note(0, 0, "first");  // nothing before it: at once
        for (int i = 0; i < 500; ++i)
            report.note(uint64_t(i) * 1000, i % 5 == 0 ? 1 : 0, "more");
        EXPECT_EQ(report.wait_ms(500'000), 500);
        report.flush(999'999);
        report.flush(SECOND);
        report.note(1'500'000, 0, "only");
        report.flush(2 * SECOND);
        EXPECT_EQ(report.wait_ms(2 * SECOND), -1);
        report.flush(5 * SECOND);
        // What is still pending when the program ends is written then.
        report.note(5 * SECOND + 1, 1, "a");
        report.note(5 * SECOND + 2, 1, "b");
        report.finish();
    }
    EXPECT_EQ(read_all(out),
              "kiv test: first\n"
              "kiv test: 400 heard, 100 dropped (last: more)\n"
              "kiv test: only\n"
              "kiv test: a\n"
              "kiv test: b\n");
    fclose(out);
}

}  // namespace
}  // namespace kiv::tunnel
