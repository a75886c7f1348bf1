#include "relay/batch_io.hpp"

#include <errno.h>
#include <netinet/udp.h>

#include <cstring>

#include "net/segments.hpp"
#include "relay/system.hpp"
#include "wire/peer.hpp"

namespace kiv {
namespace {

// A segmented send the kernel refused is sent again datagram by datagram, so a failure still
// loses one datagram alone; a kernel or route that cannot segment is not asked again.
// Returns how many of its datagrams were lost.
int send_each(int sock, Batch& batch, const mmsghdr& message) {
    if (segmentation_refused(errno)) batch.segmentation_works = false;
    int lost = 0;
    for (size_t i = 0; i < message.msg_hdr.msg_iovlen; ++i) {
        const iovec& datagram = message.msg_hdr.msg_iov[i];
        // A loss here is a loss UDP allows; it is only counted.
        if (!sys::send_datagram(sock, datagram.iov_base, datagram.iov_len,
                                static_cast<const sockaddr*>(message.msg_hdr.msg_name),
                                message.msg_hdr.msg_namelen)) {
            ++lost;
        }
    }
    return lost;
}

// Where a message goes. The kernel only reads the name of a send.
void name_destination(msghdr& header, const Peer& to) {
    header.msg_name = const_cast<sockaddr*>(to.name());
    header.msg_namelen = to.name_length();
}

}  // namespace

int lay_out_sends(Batch& batch) {
    const SendPlan& plan = batch.plan;
    for (int k = 0; k < plan.datagram_count; ++k) {
        int i = plan.order[k];
        batch.send_iov[k] = {batch.datagrams[i], batch.outgoing[i].length};
    }
    for (int g = 0; g < plan.group_count; ++g) {
        const SendGroup& group = plan.groups[g];
        mmsghdr& message = batch.sends[g];
        message = mmsghdr{};
        name_destination(message.msg_hdr, batch.outgoing[plan.order[group.start]].to);
        message.msg_hdr.msg_iov = &batch.send_iov[group.start];
        message.msg_hdr.msg_iovlen = group.count;
        if (group.count > 1) {
            set_segment_size(message.msg_hdr, batch.segment_controls[g],
                             uint16_t(group.segment_size));
        }
    }
    return plan.group_count;
}

int send_all(int sock, Batch& batch, int count) {
    plan_sends(batch.plan, batch.outgoing.data(), batch.datagrams.data(), count,
               batch.segmentation_works);
    int messages = lay_out_sends(batch);
    int sent = 0;
    int lost = 0;
    while (sent < messages) {
        int result = sys::send_batch(sock, batch.sends.data() + sent, unsigned(messages - sent));
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

Drained drain_batch(int sock, Relay& relay, Batch& batch, uint32_t now_ms) {
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
    int count = sys::receive_batch(sock, batch.received.data(), BATCH);
    if (count <= 0) return {0, 0};
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
            batch.outgoing[pending] = relay.handle(datagram, length, source, now_ms);
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
