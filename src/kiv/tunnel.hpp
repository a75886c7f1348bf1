// What the raw datagram modes (kiv host --forward, kiv join --listen) share: reading a
// socket in batches into fixed buffers, reports that a flood cannot multiply, and a wait on
// many sockets that a stop signal cuts short.
#pragma once

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "client/kiv_client.hpp"
#include "tunnel/tunnel_frame.hpp"
#include "net/segment_control.hpp"
#include "wire/peer.hpp"

namespace kiv::cli {

using tunnel::TUNNEL_IDLE_US;
inline constexpr uint64_t REPORT_INTERVAL_US = 1'000'000;
// Bursts from a local application must not overflow the kernel's default buffer while the
// tunnel is busy with the other direction.
inline constexpr int TUNNEL_SOCKET_BUFFER = 4 * 1024 * 1024;

// Datagrams read from one socket with one system call, each up to the largest a UDP
// application can send.
class ReceiveBatch {
  public:
    static constexpr int SIZE = int(client::SEND_BATCH);
    ReceiveBatch();
    // Reads up to SIZE waiting datagrams without blocking; returns how many.
    int fill(int fd);
    const uint8_t* payload(int index) const { return buffers_[index]; }
    size_t length(int index) const { return headers_[index].msg_len; }
    const Peer& source(int index) const { return sources_[index]; }

  private:
    mmsghdr headers_[SIZE];
    iovec parts_[SIZE];
    Peer sources_[SIZE];
    uint8_t buffers_[SIZE][tunnel::MAX_APP_DATAGRAM];
};

// Datagrams towards local applications, gathered while one wake-up's events are handled and
// sent with one system call for each run of the same socket: a system call for what a wake-up
// brought, not one for each datagram. Datagrams of one length to one destination go as one
// segmented send. Each datagram is copied, since what the relay delivered lives only until
// the next read.
class SendBatch {
  public:
    static constexpr int SIZE = 32;
    SendBatch();
    // `to` is null for a connected socket. Sends what is gathered first when full.
    void add(int fd, const sockaddr* to, socklen_t to_length, const uint8_t* data, size_t length);
    // Sends everything gathered. A full or refusing socket loses what it does not take, as
    // the network could.
    void flush();

  private:
    bool same_destination(int a, int b) const;

    int count_ = 0;
    int fds_[SIZE];
    sockaddr_storage to_[SIZE];
    socklen_t to_length_[SIZE];
    iovec parts_[SIZE];
    // One message for each segmented run (or single datagram), built by flush.
    mmsghdr messages_[SIZE];
    SegmentControl controls_[SIZE];
    bool segmentation_works_ = true;
    uint8_t buffers_[SIZE][tunnel::MAX_APP_DATAGRAM];
};

// Lines about joins, leaves and drops on standard error, at most one a second however many
// events there are: an event with none before it in the last second is written at once,
// the ones after it are counted by kind and written as one summary when the second is up
// ("kiv join: 37 local sender(s) heard from, 2 datagram(s) dropped (...) in 1.0 s; last:
// ..."). `labels` name the kinds; the clock is the caller's.
class EventReport {
  public:
    static constexpr int KINDS = 8;
    EventReport(const char* command, const char* const* labels, int kinds, FILE* out = stderr);
    // `text` is the event's own line, without the command's name.
    void note(uint64_t now_us, int kind, const char* text);
    // Writes the summary when one is pending and due.
    void flush(uint64_t now_us);
    // Writes what is pending, due or not: the last word before the program ends.
    void finish();
    // Milliseconds until a pending summary is due, for poll(); -1 when none is pending.
    int wait_ms(uint64_t now_us) const;
    const char* command() const { return command_; }

  private:
    void write_pending(uint64_t now_us);

    const char* command_;
    const char* const* labels_;
    int kinds_;
    FILE* out_;
    uint64_t pending_[KINDS] = {};
    uint64_t pending_total_ = 0;
    uint64_t last_line_us_ = 0;
    bool written_ = false;
    char last_text_[160] = {};
};

// Datagrams dropped as too large: the first is explained (its size, the limit, what to
// change), the rest are counted as events of `kind` in `report`.
class OversizeReport {
  public:
    // `peer` says why the limit holds ("to a host that is not kiv"), `remedy` what else may
    // be done (", or ..."; may be empty).
    OversizeReport(EventReport& report, int kind, size_t limit, const char* peer,
                   const char* remedy)
        : report_(report), kind_(kind), limit_(limit), peer_(peer), remedy_(remedy) {}
    // `source` names the sender ("from 127.0.0.1:5000").
    void count(uint64_t now_us, size_t length, const char* source);

  private:
    EventReport& report_;
    int kind_;
    size_t limit_;
    const char* peer_;
    const char* remedy_;
    bool explained_ = false;
};

// Sizes a socket's kernel buffers for bursts; a smaller grant is still fine.
void enlarge_buffers(int fd);
// A socket for each local sender or client: the soft limit on descriptors is raised to the
// hard one, so the tables' sizes, not a default of 1024, are what bounds them.
void raise_descriptor_limit();
// Waits until one of `fds` is readable or timeout_ms (-1: no limit) passes. False when a
// stop signal came. catch_stop_signals() must have been called.
bool wait_readable(pollfd* fds, int count, int timeout_ms);
// As wait_readable, on an epoll set: the number of events in `events`, 0 on a timeout, -1
// when a stop signal came.
int wait_events(int epoll_fd, epoll_event* events, int capacity, int timeout_ms);
// The sooner of two poll() timeouts, where -1 means none.
int sooner_ms(int a, int b);

}  // namespace kiv::cli
