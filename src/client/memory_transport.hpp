// A transport that keeps datagrams in memory, for driving a session with no socket: what the
// session sends is queued for the test to take, and what the test delivers is read by the
// session in batches, as the socket link reads them (at most RECEIVE_BATCH, then false once,
// and the views handed out stay valid until the next read). With direct paths on, datagrams
// also come from and go to peers other than the relay, named by address.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/transport.hpp"

namespace kiv::client {

class MemoryTransport : public Transport {
  public:
    // The address direct paths offer as this end's own, as a socket link finds it.
    void set_local(const Peer& local) { routes_.set_local(local); }
    static constexpr size_t QUEUED = 64;
    // One byte more than the relay ever sends, so a longer datagram shows, as on a socket.
    static constexpr size_t SLOT = MAX_DATAGRAM + 1;

    // Queues a datagram as if the relay had sent it; false when the queue is full.
    bool deliver(const uint8_t* bytes, size_t length) {
        return push(incoming_, bytes, length < SLOT ? length : SLOT);
    }
    // Queues a datagram from `from`, not the relay.
    bool deliver_from(const Peer& from, const uint8_t* bytes, size_t length) {
        return push(incoming_, bytes, length < SLOT ? length : SLOT, from);
    }
    // Takes the oldest datagram the session sent into `out` (SLOT bytes); false when none.
    // `to`, when given, is where it went: not set for the relay.
    bool take_sent(uint8_t* out, size_t* length, Peer* to = nullptr) {
        if (outgoing_.count == 0) return false;
        const Slot& oldest = outgoing_.slots[outgoing_.first];
        memcpy(out, oldest.bytes, oldest.length);
        *length = oldest.length;
        if (to != nullptr) *to = oldest.peer;
        outgoing_.first = (outgoing_.first + 1) % QUEUED;
        --outgoing_.count;
        return true;
    }

  protected:
    bool ready() const override { return true; }
    // A secret of the transport's own, the same from run to run, so that what a test or a
    // fuzz input does with direct paths on depends on it alone.
    bool draw_secret(Secret* secret) override {
        for (size_t i = 0; i < secret->size(); ++i)
            (*secret)[i] = uint8_t(0x51 + i);
        return true;
    }

    Error write(const uint8_t* header, const void* payload, size_t length) override {
        uint8_t datagram[SLOT];
        memcpy(datagram, header, HEADER_SIZE);
        if (length > 0) memcpy(datagram + HEADER_SIZE, payload, length);
        // A full queue loses the datagram, as a full socket would.
        (void)push(outgoing_, datagram, HEADER_SIZE + length);
        return Error::none;
    }
    Error write_batch(const uint8_t* header, const iovec* payloads, size_t count) override {
        for (size_t i = 0; i < count; ++i)
            (void)write(header, payloads[i].iov_base, payloads[i].iov_len);
        return Error::none;
    }
    Error write_direct(const Peer& to, const uint8_t* header, const iovec* payloads,
                       size_t count) override {
        for (size_t i = 0; i < count; ++i) {
            uint8_t datagram[SLOT];
            memcpy(datagram, header, PATH_DATA_HEADER);
            memcpy(datagram + PATH_DATA_HEADER, payloads[i].iov_base, payloads[i].iov_len);
            (void)push(outgoing_, datagram, PATH_DATA_HEADER + payloads[i].iov_len, to);
        }
        return Error::none;
    }
    Error write_to(const Peer& to, const uint8_t* bytes, size_t length) override {
        (void)push(outgoing_, bytes, length, to);
        return Error::none;
    }
    bool read(const uint8_t** bytes, size_t* length, const Peer** from) override {
        if (reading_ == 0)
            reading_ = incoming_.count < RECEIVE_BATCH ? incoming_.count : RECEIVE_BATCH;
        if (reading_ == 0) return false;
        if (handed_ == reading_) {
            // The read is over: its slots are free again.
            incoming_.first = (incoming_.first + reading_) % QUEUED;
            incoming_.count -= reading_;
            reading_ = handed_ = 0;
            return false;
        }
        const Slot& next = incoming_.slots[(incoming_.first + handed_++) % QUEUED];
        *bytes = next.bytes;
        *length = next.length;
        *from = next.peer.is_set() ? &next.peer : nullptr;
        return true;
    }

  private:
    struct Slot {
        uint8_t bytes[SLOT];
        size_t length;
        Peer peer;  // not set: the relay
    };
    struct Queue {
        std::array<Slot, QUEUED> slots;
        size_t first = 0;
        size_t count = 0;
    };
    static bool push(Queue& queue, const uint8_t* bytes, size_t length, const Peer& peer = {}) {
        if (queue.count == QUEUED) return false;
        Slot& slot = queue.slots[(queue.first + queue.count++) % QUEUED];
        memcpy(slot.bytes, bytes, length);
        slot.length = length;
        slot.peer = peer;
        return true;
    }

    Queue incoming_;
    Queue outgoing_;
    size_t reading_ = 0;  // datagrams in the current read
    size_t handed_ = 0;   // of which handed out
};

// A state machine over a memory transport of its own: InMemory<HostSession> is driven like
// a Host, with deliver() and take_sent() in place of a relay. `args` follow the transport
// (a ClientSession's or PingerSession's random source).
template <class Session>
class InMemory : public MemoryTransport, public Session {
  public:
    template <class... Args>
    explicit InMemory(Args... args) : Session(static_cast<MemoryTransport&>(*this), args...) {}
};

}  // namespace kiv::client
