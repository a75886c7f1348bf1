// Batched datagram I/O over one UDP socket, shared by the relay's shell, the client library
// and the tunnel: one system call receives many datagrams and one sends many. Which datagrams
// go as one segmented send is decided apart, on plain numbers (segment_control.hpp); the
// calls themselves, with what to do when the kernel refuses, live here once.
#pragma once

#include <sys/socket.h>

#include "net/segment_control.hpp"
#include "net/segments.hpp"

namespace kiv::net {

// Receives up to `count` datagrams without waiting; returns how many, 0 when none or on a
// failure. A connected socket reports an earlier datagram that met a closed port as
// ECONNREFUSED, once; that is a lost datagram, not an empty socket, so the call is made
// again, as after a signal, a bounded number of times.
int receive_messages(int fd, mmsghdr* messages, unsigned count, int flags);

struct Sent {
    int lost;    // datagrams the kernel did not take
    int errno_;  // the first failure that is not a loss the network could cause too; 0: none
};

// Sends `count` messages, each one datagram or a segmented send (a segment size set with
// set_segment_size). A datagram the kernel refuses (a full buffer, an unreachable peer) is
// lost alone: sending goes on with the next message. A refused segmented send is sent
// again datagram by datagram, cut at its segment size over its parts, so that a failure
// still loses one datagram alone; when the refusal says the kernel or route cannot segment,
// *segmentation_works is cleared for good and the caller sends no more runs.
Sent send_messages(int fd, mmsghdr* messages, int count, bool* segmentation_works);

}  // namespace kiv::net
