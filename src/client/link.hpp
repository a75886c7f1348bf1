// The client library's one socket: a UDP socket connected to the relay, read and written in
// batches (net/datagram_io.hpp), with runs of datagrams of one length sent as one segmented
// send and, when lent the memory, coalesced receives cut back into their datagrams.
//
// With direct paths on, the socket is not connected: it is the one the relay sees, so the
// address the relay reflects is the one a peer reaches. Each datagram read then carries its
// sender, the relay's going to the session and the others to the direct paths, and each
// send names its destination: still one system call for a batch, either way.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/transport.hpp"
#include "net/segments.hpp"
#include "wire/peer.hpp"

namespace kiv::client {

// The socket and buffers every endpoint shares; the transport its state machine is handed.
class Link : protected Transport {
  public:
    Link() = default;
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Creates the socket and fixes the relay as its only peer: datagrams from anyone else
    // are never delivered to it (with direct paths on, they are sorted by their sender
    // instead). On failure the endpoint holds no socket.
    Error connect(const Peer& relay);
    // Takes over a datagram socket that already reaches the relay and nothing else (one end
    // of a socketpair in tests, a socket the application set up itself) and makes it
    // non-blocking; the endpoint closes it. Not with direct paths on (not_ready).
    Error attach(int fd);
    int fd() const { return fd_; }
    int system_errno() const { return system_errno_; }

    // Memory an endpoint may be lent for reading many datagrams at once.
    struct alignas(64) CoalescedSlot {
        uint8_t bytes[COALESCED_SLOT];
    };
    // Lends the endpoint `count` slots (kept by the caller while the endpoint lives; 0 takes
    // them back) to read what the relay sent as one segmented send as one buffer, cut here
    // into its datagrams: a buffer and a part of a system call for a run, not for each
    // datagram, which is what a busy host or client saves. On a kernel that cannot, or a
    // socket that is not UDP, datagrams are read one to a buffer as without it. Applies to
    // the socket now held and to any that connect() makes.
    void coalesce_receives(CoalescedSlot* slots, size_t count);

  protected:
    Transport& transport() { return *this; }

    bool ready() const override { return fd_ >= 0; }
    Error write(const uint8_t* header, const void* payload, size_t length) override;
    Error write_batch(const uint8_t* header, const iovec* payloads, size_t count) override;
    Error write_direct(const Peer& to, const uint8_t* header, const iovec* payloads,
                       size_t count) override;
    Error write_to(const Peer& to, const uint8_t* bytes, size_t length) override;
    bool read(const uint8_t** bytes, size_t* length, const Peer** from) override;
    bool direct_settable() const override { return fd_ < 0; }

  private:
    void prepare_receives();
    size_t fill();
    Error open_unconnected(const Peer& relay);
    Error send_runs(const Peer* to, const uint8_t* header, size_t header_length,
                    const iovec* payloads, size_t count);
    void apply_coalescing();

    int fd_ = -1;
    int system_errno_ = 0;
    // Cleared for good when the kernel or the route to the relay refuses a segmented send.
    bool segmentation_works_ = true;
    size_t received_ = 0;   // buffers the last read filled
    size_t handed_ = 0;     // of which handed out
    SegmentCursor cursor_;  // in the buffer being handed out
    CoalescedSlot* coalesced_slots_ = nullptr;
    size_t coalesced_count_ = 0;
    bool coalescing_ = false;         // the socket now held coalesces into the lent slots
    bool receives_prepared_ = false;  // headers_ and parts_ fit the socket and buffers now held
    std::array<SegmentSizeControl, RECEIVE_BATCH> controls_{};
    std::array<mmsghdr, RECEIVE_BATCH> headers_{};
    std::array<iovec, RECEIVE_BATCH> parts_{};
    // With direct paths on: the relay, and who sent each datagram of the read.
    Peer relay_;
    std::array<Peer, RECEIVE_BATCH> sources_{};
    // One byte more than the relay ever sends, so a longer datagram shows and is dropped.
    std::array<std::array<uint8_t, MAX_DATAGRAM + 1>, RECEIVE_BATCH> buffers_{};
};

}  // namespace kiv::client
