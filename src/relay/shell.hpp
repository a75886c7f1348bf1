// The relay's shell: start-up and the loop around the core. The loop waits for the socket,
// standard output and the metrics listener, reads the clock once a pass, drains the socket
// through the core in batches (batch_io), serves the metrics page, logs the stats line when
// SIGUSR1 asks for it, reloads on SIGHUP and sweeps silent peers once a second.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>

#include "relay/args.hpp"
#include "relay/batch_io.hpp"
#include "relay/http_metrics.hpp"
#include "relay/snapshot.hpp"

namespace kiv {

// What the loop works with, all made at start-up.
struct Shell {
    int sock = -1;
    Relay* relay = nullptr;
    Batch* batch = nullptr;
    MetricsServer* metrics = nullptr;  // only when asked for
    sigset_t wait_mask{};
    int64_t start_time_seconds = 0;
    uint32_t kernel_drops_seen = 0;        // the socket's drop count as last read
    const Arguments* arguments = nullptr;  // read again on SIGHUP
    // With --hand-over under a manager that keeps descriptors, SIGTERM hands over: what the
    // next start checks the snapshot against and needs to rebuild the same indexes.
    bool hand_over = false;
    SnapshotOrigin origin;
    uint64_t hash_key = 0;
};

// Makes everything the loop needs before the first datagram (the socket, the metrics
// listener if asked for, the core and its buffers, every page of them resident) and logs the
// banner; false, with the message to print, when a step fails. Called once.
bool shell_start(const Arguments& arguments, Shell& shell, char* reason, size_t reason_size);

// Serves until SIGTERM asks for a hand-over (without one, SIGTERM ends the process); returns
// the exit status.
int shell_run(Shell& shell);

}  // namespace kiv
