#include "tunnel.hpp"

#include <errno.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "cli.hpp"

namespace kiv::cli {

ReceiveBatch::ReceiveBatch() {
    for (int i = 0; i < SIZE; ++i) {
        parts_[i] = {buffers_[i], sizeof buffers_[i]};
        headers_[i] = {};
        headers_[i].msg_hdr.msg_iov = &parts_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
    }
}

int ReceiveBatch::fill(int fd) {
    for (int i = 0; i < SIZE; ++i) {
        headers_[i].msg_hdr.msg_name = sources_[i].receive_name();
        headers_[i].msg_hdr.msg_namelen = Peer::RECEIVE_CAPACITY;
    }
    // A connected socket reports an earlier datagram that met a closed port as
    // ECONNREFUSED once; that is a lost datagram, not an empty socket, so read again. The
    // bound keeps a peer that keeps refusing from holding the loop.
    for (int attempt = 0; attempt < 4; ++attempt) {
        // MSG_TRUNC: msg_len is the datagram's real length, so an oversized one shows.
        int count = recvmmsg(fd, headers_, SIZE, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (count >= 0) return count;
        if (errno != ECONNREFUSED && errno != EINTR) return 0;
    }
    return 0;
}

void DropReport::count(uint64_t now_us, const char* detail) {
    ++pending_;
    if (detail != nullptr) snprintf(detail_, sizeof detail_, "%s", detail);
    flush(now_us);
}

void DropReport::flush(uint64_t now_us) {
    if (pending_ == 0) return;
    if (reported_ && now_us - last_report_us_ < REPORT_INTERVAL_US) return;
    fprintf(stderr, "%s: %llu datagram(s) %s%s\n", command_,
            static_cast<unsigned long long>(pending_), what_, detail_);
    pending_ = 0;
    reported_ = true;
    last_report_us_ = now_us;
}

int DropReport::wait_ms(uint64_t now_us) const {
    if (pending_ == 0) return -1;
    return client::wait_ms_until(now_us, last_report_us_ + REPORT_INTERVAL_US);
}

void enlarge_buffers(int fd) {
    int size = TUNNEL_SOCKET_BUFFER;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

bool wait_readable(pollfd* fds, int count, int timeout_ms) {
    // catch_stop_signals() keeps SIGINT and SIGTERM blocked outside the wait; letting them
    // in only during ppoll means one that comes just before the wait still ends it.
    static const sigset_t during_wait = [] {
        sigset_t mask;
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        sigdelset(&mask, SIGINT);
        sigdelset(&mask, SIGTERM);
        return mask;
    }();
    timespec limit{timeout_ms / 1000, long(timeout_ms % 1000) * 1000000};
    (void)ppoll(fds, nfds_t(count), timeout_ms < 0 ? nullptr : &limit, &during_wait);
    return stop_signal() == 0;
}

int sooner_ms(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return a < b ? a : b;
}

}  // namespace kiv::cli
