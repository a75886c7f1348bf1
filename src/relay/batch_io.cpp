#include "batch_io.hpp"

#include <errno.h>
#include <netinet/udp.h>

#include <cstring>

namespace kiv {
namespace {

// Only forwarded data joins a run: it is the traffic that comes in runs, while replies are
// few and go out one send each.
bool is_forward(const iovec& datagram) {
    return static_cast<const uint8_t*>(datagram.iov_base)[OFFSET_TYPE] ==
           uint8_t(MsgType::MSG_DATA);
}

bool same_run(const mmsghdr& message, const iovec& datagram, const sockaddr_in& to) {
    const msghdr& header = message.msg_hdr;
    const auto* run_to = static_cast<const sockaddr_in*>(header.msg_name);
    size_t length = datagram.iov_len;
    return header.msg_iov[0].iov_len == length && is_forward(header.msg_iov[0]) &&
           is_forward(datagram) && addr_equal(*run_to, to) && header.msg_iovlen < MAX_SEGMENTS &&
           (header.msg_iovlen + 1) * length <= MAX_SEGMENTED_BYTES;
}

void mark_segmented(Batch& batch, int index) {
    msghdr& header = batch.sends[index].msg_hdr;
    header.msg_control = batch.segment_controls[index].bytes;
    header.msg_controllen = sizeof batch.segment_controls[index].bytes;
    cmsghdr* control = CMSG_FIRSTHDR(&header);
    control->cmsg_level = SOL_UDP;
    control->cmsg_type = UDP_SEGMENT;
    control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    uint16_t segment = uint16_t(header.msg_iov[0].iov_len);
    memcpy(CMSG_DATA(control), &segment, sizeof segment);
}

// A segmented send the kernel refused is sent again datagram by datagram, so a failure still
// loses one datagram alone; a kernel or route that cannot segment is not asked again.
// Returns how many of its datagrams were lost.
int send_each(int sock, Batch& batch, const mmsghdr& message) {
    if (errno == EIO || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOPROTOOPT) {
        batch.segmentation_works = false;
    }
    int lost = 0;
    for (size_t i = 0; i < message.msg_hdr.msg_iovlen; ++i) {
        const iovec& datagram = message.msg_hdr.msg_iov[i];
        // A loss here is a loss UDP allows; it is only counted.
        if (sendto(sock, datagram.iov_base, datagram.iov_len, 0,
                   static_cast<const sockaddr*>(message.msg_hdr.msg_name),
                   message.msg_hdr.msg_namelen) < 0) {
            ++lost;
        }
    }
    return lost;
}

}  // namespace

int plan_sends(Batch& batch, int count) {
    int messages = 0;
    int datagrams = 0;
    for (int i = 0; i < count; ++i) {
        const Outgoing& out = batch.outgoing[i];
        if (out.length == 0) continue;
        // Only datagrams that are sent take an iovec, so a run's iovecs stay consecutive
        // even where a dropped datagram sat between two of its members.
        iovec& datagram = batch.send_iov[datagrams++];
        datagram = {batch.buffers[i].data(), out.length};
        if (batch.segmentation_works && messages > 0 &&
            same_run(batch.sends[messages - 1], datagram, out.to)) {
            if (batch.sends[messages - 1].msg_hdr.msg_iovlen++ == 1) {
                mark_segmented(batch, messages - 1);
            }
            continue;
        }
        mmsghdr& message = batch.sends[messages];
        message = mmsghdr{};
        message.msg_hdr.msg_name = const_cast<sockaddr_in*>(&out.to);
        message.msg_hdr.msg_namelen = sizeof out.to;
        message.msg_hdr.msg_iov = &batch.send_iov[datagrams - 1];
        message.msg_hdr.msg_iovlen = 1;
        ++messages;
    }
    return messages;
}

int send_all(int sock, Batch& batch, int count) {
    int messages = plan_sends(batch, count);
    int sent = 0;
    int lost = 0;
    while (sent < messages) {
        int result = sendmmsg(sock, batch.sends.data() + sent, unsigned(messages - sent), 0);
        if (result > 0) {
            sent += result;
        } else {
            const mmsghdr& failed = batch.sends[sent];
            lost += failed.msg_hdr.msg_iovlen > 1 ? send_each(sock, batch, failed) : 1;
            ++sent;  // skip what failed; losing a datagram is what UDP allows
        }
    }
    return lost;
}

int drain_batch(int sock, Relay& relay, Batch& batch, uint32_t (*now_ms)()) {
    for (int i = 0; i < BATCH; ++i) {
        batch.receive_iov[i] = {batch.buffers[i].data(), RECEIVE_SLOT};
        mmsghdr& message = batch.received[i];
        message = mmsghdr{};
        message.msg_hdr.msg_name = &batch.sources[i];
        message.msg_hdr.msg_namelen = sizeof batch.sources[i];
        message.msg_hdr.msg_iov = &batch.receive_iov[i];
        message.msg_hdr.msg_iovlen = 1;
    }
    int count = recvmmsg(sock, batch.received.data(), BATCH, MSG_DONTWAIT, nullptr);
    if (count <= 0) return 0;
    uint32_t now = now_ms();
    for (int i = 0; i < count; ++i) {
        const mmsghdr& message = batch.received[i];
        size_t length = message.msg_len;
        // A datagram larger than the slot arrives cut; its flag says so.
        if (message.msg_hdr.msg_flags & MSG_TRUNC) length = RECEIVE_SLOT + 1;
        batch.outgoing[i] = relay.handle(batch.buffers[i].data(), length, batch.sources[i], now);
    }
    relay.counters().send_failures += uint64_t(send_all(sock, batch, count));
    return count;
}

}  // namespace kiv
