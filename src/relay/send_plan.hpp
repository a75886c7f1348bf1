// Which answers of a window leave together. Forwards to one peer of one length are gathered
// from the whole window into one segmented send (UDP GSO), which the kernel cuts back into the
// same datagrams in the same order for a fraction of the per-datagram cost. The decision is
// made here, on plain numbers, so that it can be checked without a socket; batch_io lays the
// groups out as the kernel's messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/segment_control.hpp"
#include "relay/relay.hpp"

namespace kiv {

// Answers planned at once: as many as one batched send takes.
inline constexpr int SEND_WINDOW = 1024;

// One send: `count` datagrams to one peer, all `segment_size` bytes long, which are the
// window's answers order[start] .. order[start + count - 1], in the order they were handled.
// More than one datagram makes it a segmented send.
struct SendGroup {
    uint16_t start;
    uint16_t count;
    uint32_t segment_size;
};

struct SendPlan {
    // The sends, in the order they go out.
    std::array<SendGroup, SEND_WINDOW> groups;
    int group_count = 0;
    // Window positions, each send's together; the first datagram_count are used.
    std::array<uint16_t, SEND_WINDOW> order;
    int datagram_count = 0;

    // Planning's own: each send's first and last answer, each answer's successor in its send,
    // and each peer's latest send, which counts only while its stamp is the window's.
    std::array<uint16_t, SEND_WINDOW> first;
    std::array<uint16_t, SEND_WINDOW> last;
    std::array<uint16_t, SEND_WINDOW> next;
    struct LatestSend {
        uint64_t peer;  // the destination's hash
        uint32_t stamp;
        uint32_t group;
    };
    static constexpr int LATEST_CELLS = 2 * SEND_WINDOW;
    std::array<LatestSend, LATEST_CELLS> latest;
    uint32_t stamp = 0;
    // Keyed like the room table's indexes, since peers choose their addresses.
    PeerHashKey peer_hash = PeerHashKey::from_seed(0);
};

// Groups the first `count` answers of a window: answer i sends outgoing[i].length bytes of
// datagrams[i] to outgoing[i].to, and one of length 0 sends nothing. While `gather` holds, a
// forward joins the latest send to the same peer when that send holds forwards of the same
// length and has room, wherever in the window it started; so every peer's datagrams leave in
// the order they were handled, and sends to different peers may interleave. Without it,
// every answer is a send of its own.
void plan_sends(SendPlan& plan, const Outgoing* outgoing, const uint8_t* const* datagrams,
                int count, bool gather);

// What every plan must hold: each answer with something to send is sent exactly once, each
// send goes to one peer and keeps the kernel's limits, a segmented send holds forwards of one
// length, and each peer's datagrams leave in the order they were handled. For asserts and
// tests.
bool plan_is_sound(const SendPlan& plan, const Outgoing* outgoing, const uint8_t* const* datagrams,
                   int count);

}  // namespace kiv
