// A preload library that counts the heap calls of a process (malloc, calloc, realloc, the
// aligned forms and free; operator new and delete reach them through libstdc++) and splits
// the count at the event loop's first wait (poll, ppoll or epoll_wait): everything before it
// is start-up, everything after it happens in the loop, which must allocate nothing.
//
// The counters live in a file mapped shared (KIV_ALLOC_COUNT_FILE), so a test reads them
// while the process runs, without signals and without the process's help.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

#include "shim_alloc_counts.hpp"

namespace {

// Counts land here until the shared file is mapped (the loader allocates before the
// constructor below runs).
kiv::test::AllocCounters early{};
kiv::test::AllocCounters* counters = &early;

void note_allocation(size_t size) {
    if (counters->loop_started == 0) {
        ++counters->before_loop;
        return;
    }
    uint64_t index = counters->in_loop++;
    if (index < kiv::test::AllocCounters::SIZES_KEPT) counters->first_sizes[index] = size;
}

void note_free(void* pointer) {
    if (pointer != nullptr && counters->loop_started != 0) ++counters->frees_in_loop;
}

__attribute__((constructor)) void map_counters() {
    const char* path = getenv("KIV_ALLOC_COUNT_FILE");
    if (path == nullptr) return;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    void* shared = MAP_FAILED;
    if (ftruncate(fd, sizeof(kiv::test::AllocCounters)) == 0) {
        shared = mmap(nullptr, sizeof(kiv::test::AllocCounters), PROT_READ | PROT_WRITE, MAP_SHARED,
                      fd, 0);
    }
    close(fd);
    if (shared == MAP_FAILED) return;
    auto* mapped = static_cast<kiv::test::AllocCounters*>(shared);
    *mapped = early;
    counters = mapped;
}

}  // namespace

#include "counted_allocators.hpp"

extern "C" {

// The loop's wait, whichever call it is made with, marks the end of start-up.
void loop_waits() {
    counters->loop_started = 1;
    ++counters->polls;
}

int poll(pollfd* fds, nfds_t count, int timeout_ms) {
    static auto next = reinterpret_cast<decltype(&poll)>(dlsym(RTLD_NEXT, "poll"));
    loop_waits();
    return next(fds, count, timeout_ms);
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    static auto next = reinterpret_cast<decltype(&ppoll)>(dlsym(RTLD_NEXT, "ppoll"));
    loop_waits();
    return next(fds, count, timeout, mask);
}

int epoll_wait(int epoll_fd, epoll_event* events, int count, int timeout_ms) {
    static auto next = reinterpret_cast<decltype(&epoll_wait)>(dlsym(RTLD_NEXT, "epoll_wait"));
    loop_waits();
    return next(epoll_fd, events, count, timeout_ms);
}

}  // extern "C"
