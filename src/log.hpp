// The relay's event log: one time-stamped line per event on standard output.
#pragma once

#include <netinet/in.h>

namespace kiv {

// Writes "<local date and time> <message>\n" to standard output and flushes it, so every
// line reaches a pipe or a file before the next datagram is handled.
void logf_(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "a.b.c.d:port" in one of two static buffers used in turn: a result stays valid until the
// second call after it, so one log line can name two peers.
const char* addr_str(const sockaddr_in& addr);

}  // namespace kiv
