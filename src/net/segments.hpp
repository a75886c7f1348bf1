// Cutting a coalesced receive back into the datagrams it stands for. With UDP_GRO on the
// socket the kernel may hand over a run of datagrams from one source as one buffer, with the
// size they had (the segment size): every datagram of the run has that size but the last,
// which may be shorter. Each one must be handled exactly as if it had arrived alone, so the
// cut is made here, in one place the shell, the tests and the fuzzer share.
#pragma once

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace kiv {

// The kernel coalesces at most 64 KiB into one buffer, and no single UDP datagram is larger,
// so nothing that arrives in a buffer of this size is ever cut.
inline constexpr size_t COALESCED_SLOT = 65536;

// Room for the control message that tells a coalesced receive's segment size.
struct alignas(cmsghdr) SegmentSizeControl {
    char bytes[CMSG_SPACE(sizeof(int))];
};

// The size of the datagrams a received buffer stands for, or 0 for a single datagram.
inline size_t segment_size_of(msghdr& header) {
    if (header.msg_controllen == 0) return 0;
    for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
         control = CMSG_NXTHDR(&header, control)) {
        if (control->cmsg_level == SOL_UDP && control->cmsg_type == UDP_GRO) {
            int size = 0;
            memcpy(&size, CMSG_DATA(control), sizeof size);
            return size > 0 ? size_t(size) : 0;
        }
    }
    return 0;
}

// Where the next datagram of a received buffer lies, for a reader that hands them out one at
// a time. Starts at the buffer's first datagram; one cursor per buffer.
struct SegmentCursor {
    size_t offset = 0;
    bool done = false;
};

// The next datagram of a buffer as for_each_segment below cuts it: its offset and length,
// or false when the buffer has no more.
inline bool next_segment(SegmentCursor& cursor, size_t received, size_t segment_size,
                         bool truncated, size_t* offset, size_t* length) {
    if (cursor.done) return false;
    if (segment_size == 0) {
        cursor.done = true;
        *offset = 0;
        *length = truncated ? received + 1 : received;
        return true;
    }
    size_t left = received - cursor.offset;
    if (cursor.offset >= received || (left < segment_size && truncated)) {
        cursor.done = true;
        return false;
    }
    *offset = cursor.offset;
    *length = left < segment_size ? left : segment_size;
    cursor.offset += *length;
    return true;
}

// Calls handle(datagram, length) for each datagram in `buffer`, in order. `received` bytes
// arrived; `segment_size` is what the kernel reported, 0 for a buffer that is one datagram;
// `truncated` says the kernel had more than the buffer could hold.
//
// A datagram's length is its real length, even above what the relay accepts: a segment of
// 2000 bytes is an oversized datagram and must be judged as one. A truncated single datagram
// is reported one byte longer than what arrived, which is all that is known of it. Of a
// truncated run only the whole segments are handed on: the cut-off one was never received.
template <typename Handle>
void for_each_segment(uint8_t* buffer, size_t received, size_t segment_size, bool truncated,
                      Handle&& handle) {
    SegmentCursor cursor;
    size_t offset = 0;
    size_t length = 0;
    while (next_segment(cursor, received, segment_size, truncated, &offset, &length))
        handle(buffer + offset, length);
}

}  // namespace kiv
