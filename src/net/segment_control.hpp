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

// Whether `count` datagrams of `segment_size` bytes fit in one segmented send.
constexpr bool segmented_send_fits(size_t count, size_t segment_size) {
    return count <= size_t(MAX_SEGMENTS) && count * segment_size <= MAX_SEGMENTED_BYTES;
}

// How many datagrams from `first` on (before `end`) go as one segmented send: a run of one
// length to one destination, the last of it possibly shorter, within what the kernel takes
// in one. `length(i)` is datagram i's length, `same_destination(a, b)` whether two go to
// the same peer. An empty datagram goes alone: there is no segment size to cut it at.
template <typename Length, typename SameDestination>
int segment_run(int first, int end, Length&& length, SameDestination&& same_destination) {
    size_t size = length(first);
    int last = first + 1;
    if (size == 0) return 1;
    while (last < end && segmented_send_fits(size_t(last - first + 1), size) &&
           same_destination(first, last)) {
        size_t next = length(last);
        if (next > size || next == 0) break;
        ++last;
        if (next < size) break;  // only the last may be shorter
    }
    return last - first;
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
