// The control message that makes one send a segmented one (UDP GSO): the kernel cuts the
// message's bytes into datagrams of the size it names, the last one possibly shorter, and
// sends them in order for about the cost of one. The relay, the client library, kiv, the load
// generator, the reference forwarder and the tests all write it with this one helper.
#pragma once

#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace kiv {

// The kernel takes at most 64 segments and 64 KiB in one send.
inline constexpr int MAX_SEGMENTS = 64;
inline constexpr size_t MAX_SEGMENTED_BYTES = 65000;

// Whether a send that failed with `error` failed for being segmented: a kernel without the
// option, or a route that cannot cut (one through a tunnel of the kernel's own, or a path
// MTU below the segment size). Such a run is sent again one datagram at a time.
inline bool segmentation_refused(int error) {
    return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT;
}

// Room for the message, aligned as the kernel reads it.
struct alignas(cmsghdr) SegmentControl {
    char bytes[CMSG_SPACE(sizeof(uint16_t))];
};

// Makes `message` a segmented send of `segment_size`-byte datagrams, with `control` as its
// one control message.
inline void set_segment_size(msghdr& message, SegmentControl& control, uint16_t segment_size) {
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof segment_size);
    memcpy(CMSG_DATA(header), &segment_size, sizeof segment_size);
}

}  // namespace kiv
