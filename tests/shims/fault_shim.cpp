// A preload library that makes the relay's socket calls fail the way a loaded kernel makes
// them fail, so the tests can check that the real binary shrugs such failures off.
//
//   KIV_FAULT_SEND_EVERY=k    every k-th datagram sent fails. Datagrams are counted one by
//                             one across sendto, sendmsg and sendmmsg, each segment of a
//                             segmented send (UDP_SEGMENT) as a datagram of its own. A
//                             segmented send holding a failing datagram is refused whole, as
//                             the kernel refuses it, and all its datagrams count as tried.
//                             sendmmsg sends the messages before the failing one and returns
//                             their count, or fails with -1 when the failing one is first, as
//                             the kernel does.
//   KIV_FAULT_SEND_ERRNOS     the errors a failed send reports, in turn: a comma-separated
//                             list of EAGAIN, ENOBUFS, EPERM (default: all three).
//   KIV_FAULT_RECV_EVERY=m    every m-th receive call (recvfrom, recvmsg, recvmmsg) fails
//                             with EINTR or ENOMEM, alternately, before reading anything, so
//                             no datagram is consumed.
//   KIV_FAULT_FLOOD_PORT=p    a flood that never ends: every wait (poll, ppoll) finds the socket
//                             readable at once, and every recvmmsg fills what is left of its
//                             batch, after the datagrams really waiting, with pings from
//                             127.0.0.1:p. The relay's pongs show a test the flood goes on.
//   KIV_FAULT_GETRANDOM=1     getrandom fails with ENOSYS, as on a kernel without it.
//
// Counters are plain globals: the relay has one thread.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/number_text.hpp"

namespace {

unsigned long send_every = 0;
unsigned long recv_every = 0;
unsigned long datagrams_sent = 0;
unsigned long receive_calls = 0;
int send_errors[3] = {EAGAIN, ENOBUFS, EPERM};
int send_error_count = 3;
unsigned long send_failures = 0;
bool getrandom_fails = false;
unsigned long flood_port = 0;
uint32_t flood_pings = 0;

unsigned long env_number(const char* name) {
    const char* text = getenv(name);
    unsigned long number = 0;
    if (text != nullptr) (void)kiv::parse_decimal(text, 0ul, ULONG_MAX, &number);  // else 0: off
    return number;
}

int errno_named(const char* name, size_t length) {
    if (length == 6 && strncmp(name, "EAGAIN", 6) == 0) return EAGAIN;
    if (length == 7 && strncmp(name, "ENOBUFS", 7) == 0) return ENOBUFS;
    if (length == 5 && strncmp(name, "EPERM", 5) == 0) return EPERM;
    return 0;
}

__attribute__((constructor)) void configure() {
    send_every = env_number("KIV_FAULT_SEND_EVERY");
    recv_every = env_number("KIV_FAULT_RECV_EVERY");
    getrandom_fails = env_number("KIV_FAULT_GETRANDOM") != 0;
    flood_port = env_number("KIV_FAULT_FLOOD_PORT");
    if (const char* list = getenv("KIV_FAULT_SEND_ERRNOS")) {
        int count = 0;
        for (const char* start = list; *start != '\0' && count < 3;) {
            const char* end = strchr(start, ',');
            size_t length = end == nullptr ? strlen(start) : size_t(end - start);
            if (int error = errno_named(start, length)) send_errors[count++] = error;
            if (end == nullptr) break;
            start = end + 1;
        }
        if (count > 0) send_error_count = count;
    }
}

template <typename Function>
Function real(Function, const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// How many datagrams a message puts on the wire: a segmented send is cut into segments of
// the size it names, the last one shorter; any other message is one datagram, its pieces
// gathered.
unsigned long datagrams_in(const msghdr& message) {
    for (const cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr;
         control = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(control))) {
        if (control->cmsg_level != SOL_UDP || control->cmsg_type != UDP_SEGMENT) continue;
        uint16_t segment = 0;
        memcpy(&segment, CMSG_DATA(control), sizeof segment);
        size_t bytes = 0;
        for (size_t i = 0; i < message.msg_iovlen; ++i)
            bytes += message.msg_iov[i].iov_len;
        if (segment == 0 || bytes <= segment) return 1;
        return (bytes + segment - 1) / segment;
    }
    return 1;
}

// True if one of the next `count` datagrams, after the first `ahead`, is one that fails.
bool send_fails(unsigned long count, unsigned long ahead = 0) {
    if (send_every == 0) return false;
    unsigned long first = datagrams_sent + ahead + 1;
    unsigned long last_failing = (first + count - 1) / send_every * send_every;
    return last_failing >= first;
}

// Refuses a send of `count` datagrams: all of them count as tried.
int fail_send(unsigned long count = 1) {
    datagrams_sent += count;
    errno = send_errors[send_failures++ % unsigned(send_error_count)];
    return -1;
}

bool next_receive_fails() {
    ++receive_calls;
    if (recv_every == 0 || receive_calls % recv_every != 0) return false;
    errno = (receive_calls / recv_every) % 2 == 0 ? EINTR : ENOMEM;
    return true;
}

}  // namespace

extern "C" {

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
               socklen_t to_length) {
    static auto next = real(&sendto, "sendto");
    if (send_fails(1)) return fail_send();
    ssize_t result = next(fd, data, length, flags, to, to_length);
    if (result >= 0) ++datagrams_sent;
    return result;
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    static auto next = real(&sendmsg, "sendmsg");
    unsigned long datagrams = datagrams_in(*message);
    if (send_fails(datagrams)) return fail_send(datagrams);
    ssize_t result = next(fd, message, flags);
    if (result >= 0) datagrams_sent += datagrams;
    return result;
}

int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
    static auto next = real(&sendmmsg, "sendmmsg");
    if (count == 0) return next(fd, messages, count, flags);
    unsigned int before_failure = 0;
    unsigned long datagrams_before = 0;
    while (before_failure < count) {
        unsigned long datagrams = datagrams_in(messages[before_failure].msg_hdr);
        if (send_fails(datagrams, datagrams_before)) break;
        datagrams_before += datagrams;
        ++before_failure;
    }
    if (before_failure == 0) return fail_send(datagrams_in(messages[0].msg_hdr));
    // The messages ahead of the failing one go out; the caller sees a short count and meets
    // the failure on its next call, which starts at the failing message.
    int result = next(fd, messages, before_failure, flags);
    for (int i = 0; i < result; ++i)
        datagrams_sent += datagrams_in(messages[i].msg_hdr);
    return result;
}

// Under a flood the first descriptor waited on, the relay's socket, is always readable.
int flooded(pollfd* fds, int ready) {
    if (ready < 0) return ready;
    if (fds[0].revents == 0) ++ready;
    fds[0].revents |= POLLIN;
    return ready;
}

int poll(pollfd* fds, nfds_t count, int timeout_ms) {
    static auto next = real(&poll, "poll");
    if (flood_port == 0 || count == 0) return next(fds, count, timeout_ms);
    return flooded(fds, next(fds, count, 0));
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    static auto next = real(&ppoll, "ppoll");
    if (flood_port == 0 || count == 0) return next(fds, count, timeout, mask);
    const timespec now{};
    return flooded(fds, next(fds, count, &now, mask));
}

ssize_t recvfrom(int fd, void* data, size_t length, int flags, sockaddr* from,
                 socklen_t* from_length) {
    static auto next = real(&recvfrom, "recvfrom");
    if (next_receive_fails()) return -1;
    return next(fd, data, length, flags, from, from_length);
}

ssize_t recvmsg(int fd, msghdr* message, int flags) {
    static auto next = real(&recvmsg, "recvmsg");
    if (next_receive_fails()) return -1;
    return next(fd, message, flags);
}

// Writes a ping from the flood's peer into a receive slot.
void flood_ping(mmsghdr& message) {
    uint32_t value = ++flood_pings;
    const uint8_t ping[12] = {'K',
                              'I',
                              'V',
                              'R',
                              7,
                              1,
                              0,
                              0,
                              uint8_t(value),
                              uint8_t(value >> 8),
                              uint8_t(value >> 16),
                              uint8_t(value >> 24)};
    msghdr& header = message.msg_hdr;
    memcpy(header.msg_iov[0].iov_base, ping, sizeof ping);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(uint16_t(flood_port));
    memcpy(header.msg_name, &from, sizeof from);
    header.msg_namelen = sizeof from;
    header.msg_flags = 0;
    message.msg_len = sizeof ping;
}

int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
    static auto next = real(&recvmmsg, "recvmmsg");
    if (next_receive_fails()) return -1;
    int result = next(fd, messages, count, flags, timeout);
    if (flood_port == 0 || (result < 0 && errno != EAGAIN)) return result;
    unsigned int received = result < 0 ? 0 : unsigned(result);
    for (unsigned int i = received; i < count; ++i)
        flood_ping(messages[i]);
    return int(count);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    static auto next = real(&getrandom, "getrandom");
    if (getrandom_fails) {
        errno = ENOSYS;
        return -1;
    }
    return next(buffer, length, flags);
}

}  // extern "C"
