#include "client/link.hpp"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "net/datagram_io.hpp"

namespace kiv::client {

Link::~Link() {
    if (fd_ >= 0) ::close(fd_);
}

Error Link::connect(const Peer& relay) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    relay_ = Peer{};
    // Connecting to no address would dissolve the socket's one peer instead of fixing it,
    // and let anyone's datagrams in.
    if (!relay.is_set()) {
        system_errno_ = EDESTADDRREQ;
        return Error::system;
    }
    segmentation_works_ = true;
    coalescing_ = false;
    if (direct()) return open_unconnected(relay);
    fd_ = socket(relay.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, relay.name(), relay.name_length()) != 0) {
        system_errno_ = errno;
        // A socket that reaches no relay is not kept: fd() would offer the caller something
        // to wait on that never becomes readable.
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return Error::system;
    }
    apply_coalescing();
    return Error::none;
}

Error Link::open_unconnected(const Peer& relay) {
    relay_ = relay;
    fd_ = socket(relay.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    Peer bound = relay.family() == AF_INET6 ? Peer::any_ipv6(0) : Peer::any(0);
    socklen_t length = Peer::RECEIVE_CAPACITY;
    if (fd_ < 0 || bind(fd_, bound.name(), bound.name_length()) != 0 ||
        getsockname(fd_, bound.receive_name(), &length) != 0) {
        system_errno_ = errno;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return Error::system;
    }
    // The address this end sends from towards the relay: what a peer on the same network
    // reaches. A second socket, connected but never used, asks the kernel's routing for it.
    Peer local;
    int probe = socket(relay.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    length = Peer::RECEIVE_CAPACITY;
    if (probe >= 0 && ::connect(probe, relay.name(), relay.name_length()) == 0 &&
        getsockname(probe, local.receive_name(), &length) == 0) {
        local = local.unmapped();
        local.set_port(bound.port());
    } else {
        local = Peer{};
    }
    if (probe >= 0) ::close(probe);
    routes_.set_local(local);
    apply_coalescing();
    return Error::none;
}

void Link::coalesce_receives(CoalescedSlot* slots, size_t count) {
    coalesced_slots_ = count > 0 ? slots : nullptr;
    coalesced_count_ = slots != nullptr ? count : 0;
    apply_coalescing();
}

void Link::apply_coalescing() {
    // Safe between any two calls: the datagrams of a read are still handed out of the
    // buffers they came in (parts_); the next read uses the new ones.
    int on = coalesced_count_ > 0 ? 1 : 0;
    coalescing_ = fd_ >= 0 && setsockopt(fd_, SOL_UDP, UDP_GRO, &on, sizeof on) == 0 && on == 1;
    // Every change of socket or buffers comes through here; the headers follow at the next
    // read, once this one's datagrams are all handed out.
    receives_prepared_ = false;
}

Error Link::attach(int fd) {
    // A socket of someone else's may reach the relay alone, and the direct paths need
    // others.
    if (direct()) return Error::not_ready;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    // Only the kernel's UDP cuts a segmented send; any other socket would carry the run as
    // one datagram.
    int protocol = 0;
    socklen_t length = sizeof protocol;
    segmentation_works_ = getsockopt(fd_, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
                          protocol == IPPROTO_UDP;
    apply_coalescing();
    int flags = fcntl(fd_, F_GETFL, 0);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        system_errno_ = errno;
        ::close(fd_);
        fd_ = -1;
        return Error::system;
    }
    return Error::none;
}

Error Link::write(const uint8_t* header, const void* payload, size_t length) {
    // The payload goes out from the caller's memory: no copy, nothing allocated.
    iovec parts[2] = {{const_cast<uint8_t*>(header), HEADER_SIZE},
                      {const_cast<void*>(payload), length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = length > 0 ? 2 : 1;
    if (relay_.is_set()) {
        message.msg_name = const_cast<sockaddr*>(relay_.name());
        message.msg_namelen = relay_.name_length();
    }
    if (sendmsg(fd_, &message, 0) >= 0) return Error::none;
    // A refused or full socket loses this datagram the way the network could; the retry or
    // keep-alive that depends on it is what recovers.
    if (errno == ECONNREFUSED || errno == EAGAIN || errno == ENOBUFS) return Error::none;
    system_errno_ = errno;
    return Error::system;
}

Error Link::write_batch(const uint8_t* header, const iovec* payloads, size_t count) {
    return send_runs(relay_.is_set() ? &relay_ : nullptr, header, HEADER_SIZE, payloads, count);
}

Error Link::write_direct(const Peer& to, const uint8_t* header, const iovec* payloads,
                         size_t count) {
    return send_runs(&to, header, PATH_DATA_HEADER, payloads, count);
}

Error Link::write_to(const Peer& to, const uint8_t* bytes, size_t length) {
    if (sendto(fd_, bytes, length, 0, to.name(), to.name_length()) >= 0) return Error::none;
    if (errno == EAGAIN || errno == ENOBUFS || errno == ECONNREFUSED) return Error::none;
    system_errno_ = errno;
    return Error::system;
}

Error Link::send_runs(const Peer* to, const uint8_t* header, size_t header_length,
                      const iovec* payloads, size_t count) {
    // Every datagram shares the one header; payloads go out from the caller's memory. A run
    // is one message whose parts are header, payload, header, payload...: the kernel cuts it
    // at the segment size, so each datagram is a header and its payload.
    iovec parts[SEND_BATCH][2];
    mmsghdr messages[SEND_BATCH] = {};
    SegmentControl controls[SEND_BATCH];
    for (size_t i = 0; i < count; ++i) {
        parts[i][0] = {const_cast<uint8_t*>(header), header_length};
        parts[i][1] = payloads[i];
    }
    auto datagram_length = [&](int i) { return header_length + payloads[i].iov_len; };
    auto one_peer = [](int, int) { return true; };
    int runs = 0;
    for (int i = 0; i < int(count); ++runs) {
        int run = segmentation_works_ ? segment_run(i, int(count), datagram_length, one_peer) : 1;
        msghdr& message = messages[runs].msg_hdr;
        message.msg_iov = parts[i];
        message.msg_iovlen = 2 * size_t(run);
        if (to != nullptr) {
            message.msg_name = const_cast<sockaddr*>(to->name());
            message.msg_namelen = to->name_length();
        }
        if (run > 1) set_segment_size(message, controls[runs], uint16_t(datagram_length(i)));
        i += run;
    }
    // As with one datagram: what a full socket does not take is lost, the way the network
    // could lose it.
    net::Sent sent = net::send_messages(fd_, messages, runs, &segmentation_works_);
    if (sent.errno_ == 0) return Error::none;
    system_errno_ = sent.errno_;
    return Error::system;
}

void Link::prepare_receives() {
    for (size_t i = 0; i < RECEIVE_BATCH; ++i) {
        parts_[i] = coalescing_ && i < coalesced_count_
                        ? iovec{coalesced_slots_[i].bytes, COALESCED_SLOT}
                        : iovec{buffers_[i].data(), buffers_[i].size()};
        headers_[i] = {};
        headers_[i].msg_hdr.msg_iov = &parts_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        if (relay_.is_set()) headers_[i].msg_hdr.msg_name = sources_[i].receive_name();
        if (coalescing_) headers_[i].msg_hdr.msg_control = controls_[i].bytes;
    }
    receives_prepared_ = true;
}

size_t Link::fill() {
    size_t buffers = coalescing_ ? std::min(RECEIVE_BATCH, coalesced_count_) : RECEIVE_BATCH;
    if (!receives_prepared_) prepare_receives();
    // A read writes back only these of each header; the rest stays as prepared, so a busy
    // endpoint that reads a datagram or two at a time does not build 32 headers for each.
    bool named = relay_.is_set();
    for (size_t i = 0; i < buffers; ++i) {
        msghdr& header = headers_[i].msg_hdr;
        header.msg_namelen = named ? Peer::RECEIVE_CAPACITY : 0;
        header.msg_controllen = coalescing_ ? sizeof controls_[i].bytes : 0;
        header.msg_flags = 0;
    }
    return size_t(net::receive_messages(fd_, headers_.data(), unsigned(buffers), 0));
}

bool Link::read(const uint8_t** bytes, size_t* length, const Peer** from) {
    if (fd_ < 0) return false;
    if (received_ == 0) {
        received_ = fill();
        cursor_ = {};
    }
    // A coalesced buffer is handed out a datagram at a time (segments.hpp).
    while (handed_ < received_) {
        msghdr& buffer = headers_[handed_].msg_hdr;
        size_t offset = 0;
        if (next_segment(cursor_, headers_[handed_].msg_len, segment_size_of(buffer),
                         (buffer.msg_flags & MSG_TRUNC) != 0, &offset, length)) {
            *bytes = static_cast<const uint8_t*>(parts_[handed_].iov_base) + offset;
            *from = !relay_.is_set() || sources_[handed_] == relay_ ? nullptr : &sources_[handed_];
            return true;
        }
        ++handed_;
        cursor_ = {};
    }
    // This read's datagrams are all out: the caller goes back to waiting, and the views it
    // holds stay valid until it reads again.
    handed_ = received_ = 0;
    return false;
}

}  // namespace kiv::client
