#include "batch_io.hpp"

#include <errno.h>
#include <netinet/udp.h>

#include <cstring>

#include "segments.hpp"

namespace kiv {
namespace {

// Only forwarded data is gathered: it is the traffic that comes in runs, while replies are
// few and go out one send each.
bool is_forward(const uint8_t* datagram) {
    return datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA);
}

// The cell that holds `peer`'s latest send in this window, or the free cell where it goes.
// A window has at most SEND_WINDOW sends in twice as many cells, so a free one is always
// found.
Batch::LatestSend& latest_send(Batch& batch, uint64_t peer) {
    constexpr int CELL_BITS = __builtin_ctz(Batch::LATEST_CELLS);
    uint32_t cell = uint32_t((peer * 0x9E3779B97F4A7C15ull) >> (64 - CELL_BITS));
    for (;; cell = (cell + 1) & (Batch::LATEST_CELLS - 1)) {
        Batch::LatestSend& entry = batch.latest[cell];
        if (entry.stamp != batch.stamp || entry.peer == peer) return entry;
    }
}

bool can_join(const Batch& batch, int send, uint32_t length) {
    int first = batch.send_first[send];
    size_t datagrams = batch.sends[send].msg_hdr.msg_iovlen;
    return is_forward(batch.datagrams[first]) && batch.outgoing[first].length == length &&
           datagrams < MAX_SEGMENTS && (datagrams + 1) * length <= MAX_SEGMENTED_BYTES;
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

// The size of the datagrams a coalesced buffer stands for, or 0 for a single datagram.
size_t segment_size_of(msghdr& header) {
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

}  // namespace

int plan_sends(Batch& batch, int count) {
    if (++batch.stamp == 0) {
        // After 2^32 windows a stale entry's stamp would pass for the current one.
        batch.latest.fill({});
        batch.stamp = 1;
    }
    int messages = 0;
    for (int i = 0; i < count; ++i) {
        const Outgoing& out = batch.outgoing[i];
        if (out.length == 0) continue;
        Batch::LatestSend* latest = nullptr;
        if (batch.segmentation_works) {
            uint64_t peer = out.to.key();
            latest = &latest_send(batch, peer);
            // Only the peer's latest send may take the datagram: joining an earlier one would
            // send it before datagrams to that peer handled in between.
            if (latest->stamp == batch.stamp && is_forward(batch.datagrams[i]) &&
                can_join(batch, int(latest->send), out.length)) {
                int send = int(latest->send);
                batch.next_in_send[batch.send_last[send]] = uint16_t(i);
                batch.send_last[send] = uint16_t(i);
                ++batch.sends[send].msg_hdr.msg_iovlen;
                continue;
            }
            *latest = {peer, batch.stamp, uint32_t(messages)};
        }
        mmsghdr& message = batch.sends[messages];
        message = mmsghdr{};
        message.msg_hdr.msg_name = const_cast<sockaddr*>(out.to.name());
        message.msg_hdr.msg_namelen = out.to.name_length();
        message.msg_hdr.msg_iovlen = 1;
        batch.send_first[messages] = batch.send_last[messages] = uint16_t(i);
        ++messages;
    }
    // Each send's datagrams take consecutive iovecs, in the order they were handled.
    int iov = 0;
    for (int send = 0; send < messages; ++send) {
        msghdr& header = batch.sends[send].msg_hdr;
        header.msg_iov = &batch.send_iov[iov];
        for (int i = batch.send_first[send];; i = batch.next_in_send[i]) {
            batch.send_iov[iov++] = {batch.datagrams[i], batch.outgoing[i].length};
            if (i == batch.send_last[send]) break;
        }
        if (header.msg_iovlen > 1) mark_segmented(batch, send);
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

Drained drain_batch(int sock, Relay& relay, Batch& batch, uint32_t (*now_ms)()) {
    for (int i = 0; i < BATCH; ++i) {
        batch.receive_iov[i] = {batch.buffers[i].bytes, RECEIVE_SLOT};
        mmsghdr& message = batch.received[i];
        message = mmsghdr{};
        message.msg_hdr.msg_name = batch.sources[i].receive_name();
        message.msg_hdr.msg_namelen = Peer::RECEIVE_CAPACITY;
        message.msg_hdr.msg_iov = &batch.receive_iov[i];
        message.msg_hdr.msg_iovlen = 1;
        message.msg_hdr.msg_control = batch.receive_controls[i].bytes;
        message.msg_hdr.msg_controllen = sizeof batch.receive_controls[i].bytes;
    }
    int count = recvmmsg(sock, batch.received.data(), BATCH, MSG_DONTWAIT, nullptr);
    if (count <= 0) return {0, 0};
    uint32_t now = now_ms();
    int pending = 0;
    int handled = 0;
    for (int i = 0; i < count; ++i) {
        msghdr& header = batch.received[i].msg_hdr;
        const Peer& source = batch.sources[i];
        auto handle = [&](uint8_t* datagram, size_t length) {
            if (pending == SEND_WINDOW) {
                relay.counters().send_failures += uint64_t(send_all(sock, batch, pending));
                pending = 0;
            }
            batch.datagrams[pending] = datagram;
            batch.outgoing[pending] = relay.handle(datagram, length, source, now);
            ++pending;
            ++handled;
        };
        for_each_segment(batch.buffers[i].bytes, batch.received[i].msg_len, segment_size_of(header),
                         (header.msg_flags & MSG_TRUNC) != 0, handle);
    }
    relay.counters().send_failures += uint64_t(send_all(sock, batch, pending));
    return {count, handled};
}

}  // namespace kiv
