#include "relay/log.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "relay/system.hpp"

namespace kiv {
namespace {

// How a line can be offered to standard output without waiting and without setting
// O_NONBLOCK: that flag belongs to the open file description, which the relay shares with
// the shell or terminal that started it, and would make their own writes fail.
enum class Output { UNKNOWN, SOCKET, FILE, STREAM };

struct Line {
    uint16_t length;
    char bytes[LOG_LINE_BYTES];
};

struct Queue {
    std::array<Line, LOG_QUEUE_LINES> lines;
    int head = 0;             // the oldest waiting line
    int count = 0;            // lines waiting
    size_t head_written = 0;  // bytes of the oldest line already written
    uint64_t dropped_unreported = 0;
    uint64_t dropped_total = 0;
    Output output = Output::UNKNOWN;
};

Queue queue;

Output output_kind() {
    struct stat info {};
    if (fstat(STDOUT_FILENO, &info) != 0) return Output::STREAM;
    if (S_ISSOCK(info.st_mode)) return Output::SOCKET;
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) return Output::FILE;
    return Output::STREAM;
}

enum class Written { ALL, PART, WOULD_WAIT, FAILED };

// One attempt that cannot wait. A socket is asked per call (MSG_DONTWAIT). A pipe, FIFO or
// terminal is polled first: a pipe that polls writable has a free buffer, which takes any
// write of up to PIPE_BUF bytes whole, and a line is shorter than that. A file never waits
// for a reader.
Written write_some(const char* bytes, size_t length, size_t* written) {
    ssize_t result;
    if (queue.output == Output::SOCKET) {
        result = send(STDOUT_FILENO, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
        if (queue.output == Output::STREAM) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            if (poll(&out, 1, 0) <= 0) return Written::WOULD_WAIT;
            // An error or hang-up shows in the write below.
        }
        result = write(STDOUT_FILENO, bytes, length);
    }
    if (result < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Written::WOULD_WAIT
                                                                         : Written::FAILED;
    }
    *written = size_t(result);
    return *written == length ? Written::ALL : Written::PART;
}

Line& tail_slot() {
    return queue.lines[size_t((queue.head + queue.count) % LOG_QUEUE_LINES)];
}

// Formats a stamped line into the next free slot; the caller has checked there is one.
void queue_line(const char* format, va_list args) {
    // localtime_r, not localtime: with TZ unset, glibc's localtime re-reads the zone file and
    // allocates on every call, and the relay allocates nothing once it is running.
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    Line& line = tail_slot();
    size_t stamp = strftime(line.bytes, sizeof line.bytes, "%Y-%m-%d %H:%M:%S ", &local);
    int message = vsnprintf(line.bytes + stamp, sizeof line.bytes - stamp, format, args);
    size_t length = stamp + (message < 0 ? 0 : size_t(message));
    // A message cut to fit still ends its line.
    if (length > sizeof line.bytes - 1) length = sizeof line.bytes - 1;
    line.bytes[length++] = '\n';
    line.length = uint16_t(length);
    ++queue.count;
}

void queue_formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
void queue_formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    queue_line(format, args);
    va_end(args);
}

void drop_oldest() {
    queue.head = (queue.head + 1) % LOG_QUEUE_LINES;
    --queue.count;
    queue.head_written = 0;
}

}  // namespace

void log_open() {
    queue.output = output_kind();
    sys::make_resident(&queue.lines, sizeof queue.lines);
}

bool log_waiting() {
    return queue.count > 0;
}

uint64_t log_lines_dropped() {
    return queue.dropped_total;
}

void log_flush() {
    if (queue.output == Output::UNKNOWN) queue.output = output_kind();
    while (queue.count > 0) {
        const Line& line = queue.lines[size_t(queue.head)];
        size_t written = 0;
        Written result =
            write_some(line.bytes + queue.head_written, line.length - queue.head_written, &written);
        if (result == Written::WOULD_WAIT) return;
        if (result == Written::FAILED) {
            // Output that fails (a reader gone, a full disk) will not take this line later
            // either; it is counted as lost.
            ++queue.dropped_total;
            drop_oldest();
            continue;
        }
        queue.head_written += written;
        if (result == Written::PART) return;
        drop_oldest();
        // Output moves again: the loss is told before any line queued after it.
        if (queue.dropped_unreported > 0) {
            queue_formatted("log: %llu line(s) dropped",
                            static_cast<unsigned long long>(queue.dropped_unreported));
            queue.dropped_unreported = 0;
        }
    }
}

void logf_(const char* format, ...) {
    log_flush();
    if (queue.count == LOG_QUEUE_LINES) {
        ++queue.dropped_unreported;
        ++queue.dropped_total;
        return;
    }
    va_list args;
    va_start(args, format);
    queue_line(format, args);
    va_end(args);
    log_flush();
}

}  // namespace kiv
