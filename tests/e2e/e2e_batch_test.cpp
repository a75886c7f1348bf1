// Datagrams that wait in the relay's socket together are handled and sent in batches, runs
// to one peer as one segmented send. Peers must see exactly what one-at-a-time forwarding
// gives: every datagram whole, with its own length, in the order sent. The relay is stopped
// while a burst is queued, so the batches are certain to form.
#include <signal.h>

#include "e2e_steps.hpp"

namespace kiv::test {
namespace {

// A payload of `length` bytes that names its position in the sequence in every byte.
Bytes numbered_payload(size_t sequence, size_t length) {
    Bytes payload(length);
    for (size_t i = 0; i < length; ++i)
        payload[i] = uint8_t(sequence * 7 + i);
    return payload;
}

// Runs of equal lengths broken by odd ones out, up to the largest datagram; sized to fit a
// peer's default receive buffer whole.
std::vector<size_t> payload_lengths() {
    std::vector<size_t> lengths(40, 100);
    lengths.push_back(40);
    lengths.push_back(0);
    lengths.insert(lengths.end(), 12, 1400);
    for (int i = 0; i < 40; ++i)
        lengths.push_back(i % 3 == 0 ? 64 : 65);
    lengths.insert(lengths.end(), 8, 100);
    return lengths;
}

// Sends the numbered burst while the relay is stopped, so that it all waits in the socket.
// Every seventh datagram is followed by one the relay drops (wrong magic, same length), which
// leaves a gap in the middle of a run.
void send_burst(const RelayProcess& relay, const Peer& sender, uint32_t value,
                const std::vector<size_t>& lengths) {
    ASSERT_EQ(kill(relay.pid(), SIGSTOP), 0);
    for (size_t sequence = 0; sequence < lengths.size(); ++sequence) {
        Bytes datagram =
            with_payload(header(MSG_DATA, value), numbered_payload(sequence, lengths[sequence]));
        sender.send_to(relay.port(), datagram);
        if (sequence % 7 == 0) {
            datagram[0] = 'X';
            sender.send_to(relay.port(), datagram);
        }
    }
    ASSERT_EQ(kill(relay.pid(), SIGCONT), 0);
}

void expect_burst(const Peer& receiver, uint32_t value, const std::vector<size_t>& lengths) {
    for (size_t sequence = 0; sequence < lengths.size(); ++sequence) {
        std::optional<Bytes> got = receiver.receive();
        ASSERT_TRUE(got) << "datagram " << sequence << " of " << lengths.size() << " missing";
        ASSERT_EQ(*got, with_payload(header(MSG_DATA, value),
                                     numbered_payload(sequence, lengths[sequence])))
            << "datagram " << sequence;
    }
    EXPECT_FALSE(receiver.receive(200ms)) << "more datagrams than were sent";
}

TEST(EndToEndBatches, BurstsArriveWholeAndInOrderBothWays) {
    RelayProcess relay;
    Peer host;
    Peer client;
    uint32_t room_id = open_room(relay, host);
    const uint32_t tag = 1;
    join(relay, host, client, room_id, tag, 1);

    std::vector<size_t> lengths = payload_lengths();
    send_burst(relay, client, room_id, lengths);
    expect_burst(host, tag, lengths);
    send_burst(relay, host, tag, lengths);
    expect_burst(client, 0, lengths);
}

}  // namespace
}  // namespace kiv::test
