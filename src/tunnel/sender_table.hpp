// The local senders kiv join --listen carries, by source address and port. Each has an
// entry whose index is its channel; towards a kiv host all of them share the join's one
// place in the room, towards a plain host each of the first `limit` entries is a place of
// its own. An entry quiet for SENDER_QUIET_US gives way to a newcomer when no entry is free
// (the quietest first), and the entry's generation grows, so that the far end opens a new
// socket for the new sender: a program that takes a new source port each run (a resolver's
// one-shot queries) is never locked out for long. An entry quiet for TUNNEL_IDLE_US is
// forgotten anyway.
#pragma once

#include <array>
#include <cstdint>

#include "tunnel/tunnel_frame.hpp"
#include "wire/peer.hpp"

namespace kiv::tunnel {

inline constexpr uint64_t SENDER_QUIET_US = 5'000'000;

class SenderTable {
  public:
    static constexpr uint16_t CAPACITY = CHANNELS;
    static constexpr uint16_t NONE = 0xFFFF;

    struct Sender {
        bool in_use = false;
        Peer source;
        uint16_t generation = 0;
        uint64_t last_us = 0;  // the last datagram either way
    };

    enum class Outcome : uint8_t { known, added, took_over, full };
    struct Admission {
        Outcome outcome;
        uint16_t channel;  // NONE when full
        Peer previous;     // took_over: the sender that gave the entry up
    };

    // The entry for `source`, made on its first datagram among the first `limit` entries.
    Admission admit(const Peer& source, uint64_t now_us, uint16_t limit);
    void touch(uint16_t channel, uint64_t now_us) { senders_[channel].last_us = now_us; }
    const Sender& sender(uint16_t channel) const { return senders_[channel]; }
    // The entry held by `source`, or NONE.
    uint16_t find(const Peer& source) const;
    // Frees the entry; its generation is kept, so the next sender there gets a newer one.
    void forget(uint16_t channel);

    // Frees entries quiet for TUNNEL_IDLE_US, calling on_forget(channel) first; returns the
    // time of the next such expiry, or UINT64_MAX; now_us when it stopped after `most` with
    // more to free.
    template <typename OnForget>
    uint64_t expire(uint64_t now_us, int most, OnForget on_forget);

  private:
    // Open addressing on the peer's key, twice the entries so that probes stay short;
    // deletion shifts the run back, so no tombstones build up.
    static constexpr uint32_t BUCKETS = 2 * CAPACITY;
    static uint32_t bucket_of(const Peer& peer);
    void index_insert(uint16_t channel);
    void index_remove(uint16_t channel);

    std::array<Sender, CAPACITY> senders_{};
    std::array<uint16_t, BUCKETS> index_;
    uint16_t in_use_ = 0;

  public:
    SenderTable() { index_.fill(NONE); }
};

template <typename OnForget>
uint64_t SenderTable::expire(uint64_t now_us, int most, OnForget on_forget) {
    uint64_t next_us = UINT64_MAX;
    int forgotten = 0;
    for (uint16_t channel = 0; channel < CAPACITY; ++channel) {
        const Sender& entry = senders_[channel];
        if (!entry.in_use) continue;
        if (now_us - entry.last_us >= TUNNEL_IDLE_US) {
            if (forgotten++ == most) return now_us;
            on_forget(channel);
            forget(channel);
        } else if (entry.last_us + TUNNEL_IDLE_US < next_us) {
            next_us = entry.last_us + TUNNEL_IDLE_US;
        }
    }
    return next_us;
}

}  // namespace kiv::tunnel
