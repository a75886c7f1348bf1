// The relay's event log: one time-stamped line per event on standard output.
#pragma once

namespace kiv {

// Writes "<local date and time> <message>\n" to standard output and flushes it, so every
// line reaches a pipe or a file before the next datagram is handled.
void logf_(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kiv
