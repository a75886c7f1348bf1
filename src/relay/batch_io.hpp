// Moving datagrams between the relay's socket and its core in batches: one system call
// receives many datagrams and one sends many, and runs of forwards to one peer leave as one
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

// Datagrams moved per system call.
inline constexpr int BATCH = 64;
// One byte more than the largest datagram the relay accepts, so an oversized one shows.
inline constexpr size_t RECEIVE_SLOT = MAX_DATAGRAM + 1;
// The kernel takes at most 64 segments and 64 KiB in one send.
inline constexpr int MAX_SEGMENTS = 64;
inline constexpr size_t MAX_SEGMENTED_BYTES = 65000;

struct Batch {
    std::array<std::array<uint8_t, RECEIVE_SLOT>, BATCH> buffers;
    std::array<sockaddr_in, BATCH> sources;
    std::array<iovec, BATCH> receive_iov;
    std::array<mmsghdr, BATCH> received;
    std::array<Outgoing, BATCH> outgoing;
    std::array<iovec, BATCH> send_iov;
    std::array<mmsghdr, BATCH> sends;
    struct alignas(cmsghdr) SegmentControl {
        char bytes[CMSG_SPACE(sizeof(uint16_t))];
    };
    std::array<SegmentControl, BATCH> segment_controls;
    // Cleared for good once the kernel or the route shows it cannot segment.
    bool segmentation_works = true;
};

// Lays out the sends for the first `count` answers in batch.outgoing, in order, into
// batch.sends; returns how many messages there are. Forwards in a row to one peer with one
// length share a message, marked segmented, while segmentation works. Touches nothing but
// the batch, so tests can look at the grouping directly.
int plan_sends(Batch& batch, int count);

// Sends what the first `count` answers in the batch say. A datagram the kernel refuses (a
// full send buffer, an unreachable peer) is lost alone: sending goes on with the next one,
// and a refused segmented send is sent again datagram by datagram. Returns how many
// datagrams were lost so.
int send_all(int sock, Batch& batch, int count);

// Receives up to one batch without waiting, hands each datagram to the relay stamped with
// now_ms() read once after the receive, and sends the answers, counting those lost in the
// relay's send_failures. Returns how many datagrams it took in.
int drain_batch(int sock, Relay& relay, Batch& batch, uint32_t (*now_ms)());

}  // namespace kiv
