// Everything the relay's shell asks of the system, as plain functions in one file: the
// clocks, the random source, the UDP socket, the wait and the stats signal. The socket's
// batched calls are the shared ones of net/datagram_io.hpp. The fault tests' preload shim
// stands between the C library's calls and the kernel, whichever file makes them.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"

namespace kiv::sys {

// Milliseconds on a clock that never steps back; wraps after 49 days, so compare differences.
uint32_t monotonic_ms();
// Seconds since the Unix epoch.
int64_t wall_clock_seconds();

// Fills `buffer` from the kernel's random source; false, with errno set, if it cannot.
bool fill_random(void* buffer, size_t size);

// A non-blocking UDP socket bound to `address` (its port included), asking for coalesced
// receives and a receive queue of `receive_buffer_bytes`; the IPv6 wildcard serves IPv4 peers
// too (as mapped addresses), any other IPv6 address IPv6 alone. Sets *bound to the address
// bound (port 0 gets one chosen). -1 with the reason written on failure; a failed bind is
// "bind: <why>", or with `name_address` "bind <address>: <why>".
int open_udp(const Peer& address, bool name_address, int receive_buffer_bytes, Peer* bound,
             char* reason, size_t reason_size);
// The datagrams the kernel dropped at the socket since it was opened, in 32 bits; false
// when the kernel does not say.
bool socket_drops(int fd, uint32_t* drops);

// Installs `handler` for `signal`, to be delivered only during wait() with the mask
// returned; elsewhere it stays blocked, so it can neither interrupt a system call nor slip in
// between the check of what it set and the wait.
sigset_t catch_during_wait(int signal, void (*handler)(int));
// Waits for `fds` for at most `limit_ms` with `mask`; returns what ppoll does.
int wait(pollfd* fds, int count, int limit_ms, const sigset_t& mask);

// Writes to a closed connection fail instead of ending the process, and the local time
// zone is read now, before the first stamped line.
void prepare_process();
// Static memory gets its pages only when first written: writes every page of `memory` now,
// so that the size the relay starts with is the size it keeps under any load.
void make_resident(void* memory, size_t size);

}  // namespace kiv::sys
