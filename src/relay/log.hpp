// The relay's event log: one time-stamped line per event on standard output.
//
// Whoever reads standard output may stall (a pipe nobody drains, a stopped pager), and any
// peer can make the relay log. So a line that standard output cannot take at once waits in a
// fixed queue while the loop goes on serving; when the queue is full, newer lines are counted
// and dropped, and once output moves again one line says how many were lost.
#pragma once

#include <cstdint>

namespace kiv {

// Lines that can wait for standard output; beyond this many, newer lines are dropped.
inline constexpr int LOG_QUEUE_LINES = 1024;
// The longest line kept, newline included; a longer message is cut to fit.
inline constexpr int LOG_LINE_BYTES = 256;

// Writes "<local date and time> <message>\n" to standard output if it can take the line now,
// else queues it behind the lines already waiting.
void logf_(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Looks at what standard output is and makes the queue resident; called once before the
// first line, so that the queue never costs an allocation or a page fault under load.
void log_open();
// True while lines wait for standard output; the loop then waits for it to become writable.
bool log_waiting();
// Writes waiting lines, in order, for as long as standard output takes them without waiting.
void log_flush();
// Lines dropped because the queue was full (or output failed) since start-up.
uint64_t log_lines_dropped();

}  // namespace kiv
