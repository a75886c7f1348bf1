#include "relay/batch_io.hpp"

#include "net/datagram_io.hpp"
#include "net/segments.hpp"
#include "wire/peer.hpp"

namespace kiv {
namespace {

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
    return net::send_messages(sock, batch.sends.data(), messages, &batch.segmentation_works).lost;
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
    int count = net::receive_messages(sock, batch.received.data(), BATCH, 0);
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
