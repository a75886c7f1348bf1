// Moving datagrams between the relay's socket and its core in batches: one system call
// receives many datagrams and one sends many. Runs of datagrams a sender passed to the kernel
// as one segmented send arrive as one buffer (UDP GRO) and are cut back into datagrams for
// the core (segments.hpp); on the way out, the send plan (send_plan.hpp) gathers forwards to
// one peer into one segmented send (UDP GSO), laid out here as the kernel's messages.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/segment_control.hpp"
#include "net/segments.hpp"
#include "relay/relay.hpp"
#include "relay/send_plan.hpp"

namespace kiv {

// Buffers filled per receive call; each holds one datagram or one coalesced run.
inline constexpr int BATCH = 64;
inline constexpr size_t RECEIVE_SLOT = COALESCED_SLOT;

struct Batch {
    // 64 bytes apart from the next, so that the headers of a batch do not all fall in the
    // same cache set, as buffers exactly 64 KiB apart would.
    struct alignas(64) ReceiveBuffer {
        uint8_t bytes[RECEIVE_SLOT + 64];
    };
    std::array<ReceiveBuffer, BATCH> buffers;
    std::array<Peer, BATCH> sources;
    std::array<iovec, BATCH> receive_iov;
    std::array<mmsghdr, BATCH> received;
    std::array<SegmentSizeControl, BATCH> receive_controls;

    // One entry per datagram handled in the current window (a batch of coalesced runs holds
    // more than one window, whose answers leave window by window, in order): where its bytes
    // lie (the core rewrote them in place) and what the core said to do with them.
    std::array<uint8_t*, SEND_WINDOW> datagrams;
    std::array<Outgoing, SEND_WINDOW> outgoing;
    SendPlan plan;
    // The plan as the kernel takes it: each send a message of one or more datagrams.
    std::array<iovec, SEND_WINDOW> send_iov;
    std::array<mmsghdr, SEND_WINDOW> sends;
    std::array<SegmentControl, SEND_WINDOW> segment_controls;
    // Cleared for good once the kernel or the route shows it cannot segment.
    bool segmentation_works = true;
};

// Lays batch.plan out as batch.sends, with a segment size on every send of more than one
// datagram; returns how many messages there are.
int lay_out_sends(Batch& batch);

// Plans and sends what the first `count` answers in the batch say. A datagram the kernel
// refuses (a full send buffer, an unreachable peer) is lost alone: sending goes on with the
// next one, and a refused segmented send is sent again datagram by datagram. Returns how
// many datagrams were lost so.
int send_all(int sock, Batch& batch, int count);

struct Drained {
    int buffers;    // filled by the receive call; fewer than BATCH means the socket was empty
    int datagrams;  // handed to the core
};

// Receives up to one batch without waiting, hands each datagram to the relay stamped with
// `now_ms`, and sends the answers, counting those lost in the relay's send_failures.
Drained drain_batch(int sock, Relay& relay, Batch& batch, uint32_t now_ms);

}  // namespace kiv
