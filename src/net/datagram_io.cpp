#include "net/datagram_io.hpp"

#include <errno.h>
#include <netinet/udp.h>

#include <cstring>

namespace kiv::net {
namespace {

// A refused earlier datagram or a signal is reported once per call, so a few calls more
// always get past them; the bound keeps a peer that keeps refusing from holding the loop.
constexpr int ATTEMPTS = 4;

bool try_again(int error) {
    return error == ECONNREFUSED || error == EINTR;
}

// What UDP may lose anyway: a full socket or queue, an unreachable peer.
bool is_loss(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ECONNREFUSED ||
           error == EINTR;
}

size_t segment_size_of_send(const msghdr& message) {
    const cmsghdr* control = CMSG_FIRSTHDR(&message);
    uint16_t size = 0;
    if (control != nullptr && control->cmsg_level == SOL_UDP && control->cmsg_type == UDP_SEGMENT)
        memcpy(&size, CMSG_DATA(control), sizeof size);
    return size;
}

// One datagram, through the same call as the batch.
bool send_one(int fd, const msghdr& datagram) {
    mmsghdr message{};
    message.msg_hdr = datagram;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (sendmmsg(fd, &message, 1, 0) == 1) return true;
        if (!try_again(errno)) return false;
    }
    return false;
}

// The datagrams a segmented send stands for, one send each: parts are taken until they
// make a segment (empty parts after them go along), the last datagram what is left.
// Returns how many were lost.
int send_each(int fd, const msghdr& run, int* hard_error) {
    size_t segment = segment_size_of_send(run);
    int lost = 0;
    for (size_t first = 0; first < run.msg_iovlen;) {
        size_t end = first;
        size_t bytes = 0;
        while (end < run.msg_iovlen && (bytes < segment || run.msg_iov[end].iov_len == 0))
            bytes += run.msg_iov[end++].iov_len;
        msghdr datagram{};
        datagram.msg_name = run.msg_name;
        datagram.msg_namelen = run.msg_namelen;
        datagram.msg_iov = run.msg_iov + first;
        datagram.msg_iovlen = end - first;
        if (!send_one(fd, datagram)) {
            ++lost;
            if (*hard_error == 0 && !is_loss(errno)) *hard_error = errno;
        }
        first = end;
    }
    return lost;
}

}  // namespace

int receive_messages(int fd, mmsghdr* messages, unsigned count, int flags) {
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        int received = recvmmsg(fd, messages, count, flags | MSG_DONTWAIT, nullptr);
        if (received >= 0) return received;
        if (!try_again(errno)) return 0;
    }
    return 0;
}

Sent send_messages(int fd, mmsghdr* messages, int count, bool* segmentation_works) {
    Sent outcome{0, 0};
    int done = 0;
    int retries = 0;
    while (done < count) {
        int sent = sendmmsg(fd, messages + done, unsigned(count - done), 0);
        if (sent > 0) {
            done += sent;
            continue;
        }
        int error = sent < 0 ? errno : EAGAIN;
        if (try_again(error) && ++retries < ATTEMPTS) continue;
        const msghdr& failed = messages[done].msg_hdr;
        if (failed.msg_controllen > 0) {
            if (segmentation_refused(error)) *segmentation_works = false;
            outcome.lost += send_each(fd, failed, &outcome.errno_);
        } else {
            ++outcome.lost;
            if (outcome.errno_ == 0 && !is_loss(error)) outcome.errno_ = error;
        }
        ++done;  // skip what failed; losing a datagram is what UDP allows
    }
    return outcome;
}

}  // namespace kiv::net
