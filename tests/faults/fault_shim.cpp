// A preload library that makes the relay's socket calls fail the way a loaded kernel makes
// them fail, so the tests can check that the real binary shrugs such failures off.
//
//   KIV_FAULT_SEND_EVERY=k    every k-th datagram sent (counted per datagram, across sendto,
//                             sendmsg and sendmmsg) fails; sendmmsg then sends the datagrams
//                             before it and returns their count, or fails with -1 when the
//                             failing one is first, as the kernel does.
//   KIV_FAULT_SEND_ERRNOS     the errors a failed send reports, in turn: a comma-separated
//                             list of EAGAIN, ENOBUFS, EPERM (default: all three).
//   KIV_FAULT_RECV_EVERY=m    every m-th receive call (recvfrom, recvmsg, recvmmsg) fails
//                             with EINTR or ENOMEM, alternately, before reading anything, so
//                             no datagram is consumed.
//   KIV_FAULT_GETRANDOM=1     getrandom fails with ENOSYS, as on a kernel without it.
//
// Counters are plain globals: the relay has one thread.
#include <dlfcn.h>
#include <errno.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

unsigned long send_every = 0;
unsigned long recv_every = 0;
unsigned long datagrams_sent = 0;
unsigned long receive_calls = 0;
int send_errors[3] = {EAGAIN, ENOBUFS, EPERM};
int send_error_count = 3;
unsigned long send_failures = 0;
bool getrandom_fails = false;

unsigned long env_number(const char* name) {
    const char* text = getenv(name);
    return text == nullptr ? 0 : strtoul(text, nullptr, 10);
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

// True if the datagram that would be sent next is one that fails.
bool next_send_fails(unsigned long ahead = 0) {
    return send_every != 0 && (datagrams_sent + ahead + 1) % send_every == 0;
}

int fail_send() {
    ++datagrams_sent;
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
    if (next_send_fails()) return fail_send();
    ssize_t result = next(fd, data, length, flags, to, to_length);
    if (result >= 0) ++datagrams_sent;
    return result;
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    static auto next = real(&sendmsg, "sendmsg");
    if (next_send_fails()) return fail_send();
    ssize_t result = next(fd, message, flags);
    if (result >= 0) ++datagrams_sent;
    return result;
}

int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
    static auto next = real(&sendmmsg, "sendmmsg");
    if (count == 0) return next(fd, messages, count, flags);
    unsigned int before_failure = 0;
    while (before_failure < count && !next_send_fails(before_failure))
        ++before_failure;
    if (before_failure == 0) return fail_send();
    // The datagrams ahead of the failing one go out; the caller sees a short count and
    // meets the failure on its next call, which starts at the failing datagram.
    int result = next(fd, messages, before_failure, flags);
    if (result > 0) datagrams_sent += unsigned(result);
    return result;
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

int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
    static auto next = real(&recvmmsg, "recvmmsg");
    if (next_receive_fails()) return -1;
    return next(fd, messages, count, flags, timeout);
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
