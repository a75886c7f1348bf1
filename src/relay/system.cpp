#include "relay/system.hpp"

#include <errno.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kiv::sys {

uint32_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(ts.tv_sec) * 1000u + uint32_t(ts.tv_nsec / 1000000);
}

int64_t wall_clock_seconds() {
    return int64_t(time(nullptr));
}

bool fill_random(void* buffer, size_t size) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        size -= size_t(got);
    }
    return true;
}

int open_udp(const Peer& address, bool name_address, int receive_buffer_bytes, Peer* bound,
             char* reason, size_t reason_size) {
    int fd = socket(address.family(), SOCK_DGRAM, 0);
    if (fd < 0) {
        snprintf(reason, reason_size, "socket: %s", strerror(errno));
        return -1;
    }
    int size = receive_buffer_bytes;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // a smaller one works
    if (address.family() == AF_INET6) {
        // Set either way: the system's default (net.ipv6.bindv6only) must not decide.
        int v6_only = address.is_any_address() ? 0 : 1;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) < 0) {
            snprintf(reason, reason_size, "IPV6_V6ONLY: %s", strerror(errno));
            close(fd);
            return -1;
        }
    }
    if (bind(fd, address.name(), address.name_length()) < 0) {
        if (name_address) {
            char text[Peer::TEXT_CAPACITY];
            snprintf(reason, reason_size, "bind %s: %s", address.write_text(text, sizeof text),
                     strerror(errno));
        } else {
            snprintf(reason, reason_size, "bind: %s", strerror(errno));
        }
        close(fd);
        return -1;
    }
    // A run of datagrams that a sender passed to the kernel as one segmented send then
    // arrives as one buffer (segments.hpp). A kernel that refuses the option hands them over
    // one by one, which works the same.
    int coalesce = 1;
    (void)setsockopt(fd, SOL_UDP, UDP_GRO, &coalesce, sizeof coalesce);
    int flags = fcntl(fd, F_GETFL, 0);
    (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    // Port 0 lets the system choose; the banner must show the port actually bound.
    *bound = address;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    Peer named;
    if (getsockname(fd, named.receive_name(), &length) == 0 && named.is_set()) *bound = named;
    return fd;
}

bool socket_drops(int fd, uint32_t* drops) {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &length) < 0) return false;
    if (length < sizeof(uint32_t) * (SK_MEMINFO_DROPS + 1)) return false;
    *drops = meminfo[SK_MEMINFO_DROPS];
    return true;
}

sigset_t catch_during_wait(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait returns at once
    sigaction(signal, &action, nullptr);
    sigset_t caught;
    sigemptyset(&caught);
    sigaddset(&caught, signal);
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, &caught, &wait_mask);
    sigdelset(&wait_mask, signal);
    return wait_mask;
}

int wait(pollfd* fds, int count, int limit_ms, const sigset_t& mask) {
    timespec limit{limit_ms / 1000, (limit_ms % 1000) * 1000000L};
    return ppoll(fds, nfds_t(count), &limit, &mask);
}

void prepare_process() {
    signal(SIGPIPE, SIG_IGN);
    tzset();
}

void make_resident(void* memory, size_t size) {
    volatile uint8_t* bytes = static_cast<uint8_t*>(memory);
    for (size_t offset = 0; offset < size; offset += 4096)
        bytes[offset] = bytes[offset];
}

}  // namespace kiv::sys
