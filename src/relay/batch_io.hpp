// Moving datagrams between the relay's socket and its core in batches: one system call
// receives many datagrams and one sends many. Runs of datagrams a sender passed to the kernel
// as one segmented send arrive as one buffer (UDP GRO) and are cut back into datagrams for
// the core; on the way out, forwards to one peer are gathered from the whole batch into one
// segmented send (UDP GSO), which the kernel cuts into the same datagrams in the same order
// for a fraction of the per-datagram cost.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "relay.hpp"

namespace kiv {

// Buffers filled per receive call; each holds one datagram or one coalesced run.
inline constexpr int BATCH = 64;
// The kernel coalesces at most 64 KiB into one buffer, and no single UDP datagram is larger,
// so nothing that arrives is ever cut.
inline constexpr size_t RECEIVE_SLOT = 65536;
// Datagrams handled before their answers go out: as many as one sendmmsg takes. A batch of
// coalesced runs holds more; its answers leave window by window, in order.
inline constexpr int SEND_WINDOW = 1024;
// The kernel takes at most 64 segments and 64 KiB in one send.
inline constexpr int MAX_SEGMENTS = 64;
inline constexpr size_t MAX_SEGMENTED_BYTES = 65000;

struct Batch {
    // 64 bytes apart from the next, so that the headers of a batch do not all fall in the
    // same cache set, as buffers exactly 64 KiB apart would.
    struct alignas(64) ReceiveBuffer {
        uint8_t bytes[RECEIVE_SLOT + 64];
    };
    struct alignas(cmsghdr) SegmentSizeControl {
        char bytes[CMSG_SPACE(sizeof(int))];
    };
    std::array<ReceiveBuffer, BATCH> buffers;
    std::array<Peer, BATCH> sources;
    std::array<iovec, BATCH> receive_iov;
    std::array<mmsghdr, BATCH> received;
    std::array<SegmentSizeControl, BATCH> receive_controls;

    // One entry per datagram handled in the current window: where its bytes lie (the core
    // rewrote them in place) and what the core said to do with them.
    std::array<uint8_t*, SEND_WINDOW> datagrams;
    std::array<Outgoing, SEND_WINDOW> outgoing;
    // The sends: each a message of one or more datagrams to one peer.
    std::array<iovec, SEND_WINDOW> send_iov;
    std::array<mmsghdr, SEND_WINDOW> sends;
    struct alignas(cmsghdr) SegmentControl {
        char bytes[CMSG_SPACE(sizeof(uint16_t))];
    };
    std::array<SegmentControl, SEND_WINDOW> segment_controls;
    // While planning: each send's first and last datagram, and each datagram's successor in
    // its send.
    std::array<uint16_t, SEND_WINDOW> send_first;
    std::array<uint16_t, SEND_WINDOW> send_last;
    std::array<uint16_t, SEND_WINDOW> next_in_send;
    // Each peer's latest send in the current window; an entry counts only while its stamp
    // is the window's.
    struct LatestSend {
        uint64_t peer;
        uint32_t stamp;
        uint32_t send;
    };
    static constexpr int LATEST_CELLS = 2 * SEND_WINDOW;
    std::array<LatestSend, LATEST_CELLS> latest;
    uint32_t stamp = 0;
    // Cleared for good once the kernel or the route shows it cannot segment.
    bool segmentation_works = true;
};

// Lays out the sends for the first `count` answers in batch.outgoing (their bytes at
// batch.datagrams) into batch.sends; returns how many messages there are. While segmentation
// works, a forward joins the latest send to the same peer when that send holds forwards of
// the same length and has room, wherever in the window it started; so every peer's datagrams
// leave in the order they were handled, and messages to different peers may interleave.
// Touches nothing but the batch, so tests can look at the grouping directly.
int plan_sends(Batch& batch, int count);

// Sends what the first `count` answers in the batch say. A datagram the kernel refuses (a
// full send buffer, an unreachable peer) is lost alone: sending goes on with the next one,
// and a refused segmented send is sent again datagram by datagram. Returns how many
// datagrams were lost so.
int send_all(int sock, Batch& batch, int count);

struct Drained {
    int buffers;    // filled by the receive call; fewer than BATCH means the socket was empty
    int datagrams;  // handed to the core
};

// Receives up to one batch without waiting, hands each datagram to the relay stamped with
// now_ms() read once after the receive, and sends the answers, counting those lost in the
// relay's send_failures.
Drained drain_batch(int sock, Relay& relay, Batch& batch, uint32_t (*now_ms)());

}  // namespace kiv
