// What the raw datagram modes (kiv host --forward, kiv join --listen) share: reading a
// socket in batches into fixed buffers, reports that a flood cannot multiply, and a wait on
// many sockets that a stop signal cuts short.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "kiv_client.hpp"
#include "peer.hpp"

namespace kiv::cli {

// A local peer silent this long is forgotten, as the relay forgets a silent client.
inline constexpr uint64_t TUNNEL_IDLE_US = uint64_t(TIMEOUT_MS) * 1000;
inline constexpr uint64_t REPORT_INTERVAL_US = 1'000'000;
// Bursts from a local application must not overflow the kernel's default buffer while the
// tunnel is busy with the other direction.
inline constexpr int TUNNEL_SOCKET_BUFFER = 4 * 1024 * 1024;

// Datagrams read from one socket with one recvmmsg call. A datagram longer than the relay
// can carry is noticed (its real length is kept) but only its head is stored.
class ReceiveBatch {
  public:
    static constexpr int SIZE = int(client::SEND_BATCH);
    ReceiveBatch();
    // Reads up to SIZE waiting datagrams without blocking; returns how many.
    int fill(int fd);
    const uint8_t* payload(int index) const { return buffers_[index]; }
    size_t length(int index) const { return headers_[index].msg_len; }
    bool oversized(int index) const {
        return length(index) > client::MAX_PAYLOAD ||
               (headers_[index].msg_hdr.msg_flags & MSG_TRUNC);
    }
    const Peer& source(int index) const { return sources_[index]; }

  private:
    mmsghdr headers_[SIZE];
    iovec parts_[SIZE];
    Peer sources_[SIZE];
    uint8_t buffers_[SIZE][client::MAX_PAYLOAD + 1];
};

// Datagrams dropped for one reason, counted and written to standard error as one line at
// most every REPORT_INTERVAL_US: "kiv join: 12 datagram(s) over 1400 bytes not sent".
class DropReport {
  public:
    DropReport(const char* command, const char* what) : command_(command), what_(what) {}
    // `detail`, if given, is added to the line after the count (the last one seen is kept).
    void count(uint64_t now_us, const char* detail = nullptr);
    // Writes the line when one is pending and due.
    void flush(uint64_t now_us);
    // Milliseconds until a pending line is due, for poll(); -1 when none is pending.
    int wait_ms(uint64_t now_us) const;

  private:
    const char* command_;
    const char* what_;
    uint64_t pending_ = 0;
    uint64_t last_report_us_ = 0;
    bool reported_ = false;
    char detail_[64] = {};
};

// Sizes a socket's kernel buffers for bursts; a smaller grant is still fine.
void enlarge_buffers(int fd);
// Waits until one of `fds` is readable or timeout_ms (-1: no limit) passes. False when a
// stop signal came. catch_stop_signals() must have been called.
bool wait_readable(pollfd* fds, int count, int timeout_ms);
// The sooner of two poll() timeouts, where -1 means none.
int sooner_ms(int a, int b);

}  // namespace kiv::cli
