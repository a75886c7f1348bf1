#include "kiv/tunnel.hpp"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "kiv/cli.hpp"
#include "net/datagram_io.hpp"

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
    // MSG_TRUNC: msg_len is the datagram's real length, so an oversized one shows.
    return net::receive_messages(fd, headers_, SIZE, MSG_TRUNC);
}

SendBatch::SendBatch() {
    for (int i = 0; i < SIZE; ++i)
        parts_[i] = {buffers_[i], 0};
}

void SendBatch::add(int fd, const sockaddr* to, socklen_t to_length, const uint8_t* data,
                    size_t length) {
    if (count_ == SIZE) flush();
    int i = count_++;
    fds_[i] = fd;
    if (length > 0) memcpy(buffers_[i], data, length);
    parts_[i].iov_len = length;
    to_length_[i] = to != nullptr ? to_length : 0;
    if (to != nullptr) memcpy(&to_[i], to, to_length);
}

bool SendBatch::same_destination(int a, int b) const {
    return to_length_[a] == to_length_[b] && memcmp(&to_[a], &to_[b], to_length_[a]) == 0;
}

void SendBatch::flush() {
    int first = 0;
    while (first < count_) {
        int fd = fds_[first];
        int end = first + 1;
        while (end < count_ && fds_[end] == fd)
            ++end;
        int runs = 0;
        for (int i = first; i < end; ++runs) {
            int run = segmentation_works_
                          ? segment_run(
                                i, end, [&](int k) { return parts_[k].iov_len; },
                                [&](int a, int b) { return same_destination(a, b); })
                          : 1;
            msghdr& message = messages_[runs].msg_hdr;
            message = {};
            if (to_length_[i] > 0) {
                message.msg_name = &to_[i];
                message.msg_namelen = to_length_[i];
            }
            message.msg_iov = &parts_[i];
            message.msg_iovlen = size_t(run);
            if (run > 1) set_segment_size(message, controls_[runs], uint16_t(parts_[i].iov_len));
            i += run;
        }
        // What a full or refusing socket does not take is lost, as the network could lose it.
        (void)net::send_messages(fd, messages_, runs, &segmentation_works_);
        first = end;
    }
    count_ = 0;
}

EventReport::EventReport(const char* command, const char* const* labels, int kinds, FILE* out)
    : command_(command), labels_(labels), kinds_(kinds < KINDS ? kinds : KINDS), out_(out) {}

void EventReport::note(uint64_t now_us, int kind, const char* text) {
    bool due = !written_ || now_us - last_line_us_ >= REPORT_INTERVAL_US;
    if (due && pending_total_ == 0) {
        fprintf(out_, "%s: %s\n", command_, text);
        fflush(out_);
        written_ = true;
        last_line_us_ = now_us;
        return;
    }
    if (kind >= 0 && kind < kinds_) ++pending_[kind];
    ++pending_total_;
    // The report keeps the latest line as far as it fits: it is for people, who get the gist.
    snprintf(last_text_, sizeof last_text_, "%.*s", int(sizeof last_text_ - 1), text);
    flush(now_us);
}

void EventReport::finish() {
    if (pending_total_ > 0) write_pending(last_line_us_ + REPORT_INTERVAL_US);
}

void EventReport::flush(uint64_t now_us) {
    if (pending_total_ == 0 || (written_ && now_us - last_line_us_ < REPORT_INTERVAL_US)) return;
    write_pending(now_us);
}

void EventReport::write_pending(uint64_t now_us) {
    if (pending_total_ == 1) {
        fprintf(out_, "%s: %s\n", command_, last_text_);
    } else {
        fprintf(out_, "%s:", command_);
        const char* separator = " ";
        for (int kind = 0; kind < kinds_; ++kind) {
            if (pending_[kind] == 0) continue;
            fprintf(out_, "%s%llu %s", separator, static_cast<unsigned long long>(pending_[kind]),
                    labels_[kind]);
            separator = ", ";
        }
        fprintf(out_, " (last: %s)\n", last_text_);
    }
    fflush(out_);
    for (uint64_t& count : pending_)
        count = 0;
    pending_total_ = 0;
    written_ = true;
    last_line_us_ = now_us;
}

int EventReport::wait_ms(uint64_t now_us) const {
    if (pending_total_ == 0) return -1;
    return client::wait_ms_until(now_us, last_line_us_ + REPORT_INTERVAL_US);
}

void OversizeReport::count(uint64_t now_us, size_t length, const char* source) {
    char text[400];
    if (!explained_) {
        // Said in full once: what was dropped, why, and what to change. The rest are counts.
        explained_ = true;
        fprintf(stderr,
                "%s: dropped a %zu-byte datagram %s: over the %zu bytes a room carries %s; set "
                "the application's MTU (or its largest datagram) to %zu bytes or less%s "
                "(further drops are counted)\n",
                report_.command(), length, source, limit_, peer_, limit_, remedy_);
        fflush(stderr);
        return;
    }
    snprintf(text, sizeof text, "dropped a %zu-byte datagram %s (over %zu)", length, source,
             limit_);
    report_.note(now_us, kind_, text);
}

void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // without it, the default limit is the bound
}

void enlarge_buffers(int fd) {
    int size = TUNNEL_SOCKET_BUFFER;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

namespace {

// catch_stop_signals() keeps SIGINT and SIGTERM blocked outside the wait; letting them in
// only during the wait means one that comes just before it still ends it.
const sigset_t& signals_during_wait() {
    static const sigset_t during_wait = [] {
        sigset_t mask;
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        sigdelset(&mask, SIGINT);
        sigdelset(&mask, SIGTERM);
        return mask;
    }();
    return during_wait;
}

}  // namespace

bool wait_readable(pollfd* fds, int count, int timeout_ms) {
    timespec limit{timeout_ms / 1000, long(timeout_ms % 1000) * 1000000};
    (void)ppoll(fds, nfds_t(count), timeout_ms < 0 ? nullptr : &limit, &signals_during_wait());
    return stop_signal() == 0;
}

int wait_events(int epoll_fd, epoll_event* events, int capacity, int timeout_ms) {
    int count = epoll_pwait(epoll_fd, events, capacity, timeout_ms, &signals_during_wait());
    if (stop_signal() != 0) return -1;
    return count < 0 ? 0 : count;
}

int sooner_ms(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return a < b ? a : b;
}

}  // namespace kiv::cli
