// The clients a host has heard from. The relay announces neither joins nor departures, but a
// tag that speaks is in the room, and one silent for longer than the relay's time-out is
// forgotten by the relay too: the host's client_joined and client_left events come from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "wire/protocol.hpp"
#include "wire/values.hpp"

namespace kiv::client {

class Roster {
  public:
    // A room holds MAX_CLIENTS at once, but clients that left (the relay does not say so)
    // stay here until their silence runs out; room for that many turnovers within it.
    static constexpr size_t CAPACITY = 4 * MAX_CLIENTS;
    // The relay forgets a peer silent for more than this.
    static constexpr uint64_t SILENCE_US = uint64_t(TIMEOUT_MS) * 1000;

    bool knows(Tag tag) const { return find(tag) < CAPACITY; }
    // Records a datagram from a known tag.
    void heard(Tag tag, uint64_t now_us);
    // Adds a tag not yet known; false when the roster is full (make room with
    // oldest() and remove()).
    bool add(Tag tag, uint64_t now_us);
    void remove(Tag tag);
    // The tag silent longest, Tag() when empty: the one to let go when a new tag finds the
    // roster full, as a live client speaks at least every KEEPALIVE_US.
    Tag oldest() const;
    // A tag whose silence has run out at now_us, removed; Tag() when there is none.
    Tag expire(uint64_t now_us);
    // When the next silence runs out, UINT64_MAX when no tag is known.
    uint64_t next_expiry_us() const;
    void clear();

  private:
    size_t find(Tag tag) const;

    // Tags fit in 16 bits, so the scan of a lookup reads one cache line.
    std::array<uint16_t, CAPACITY> tags_{};  // 0: a free place
    std::array<uint64_t, CAPACITY> heard_us_{};
    // No silence runs out before this: a lower bound, since hearing a tag only moves its
    // expiry later. Saves the scan on most calls of expire().
    uint64_t no_expiry_before_us_ = UINT64_MAX;
};

}  // namespace kiv::client
