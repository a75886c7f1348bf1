// Rooms that belong to the operator's hosts: with a key, an open that would create a room
// must carry a token made with that key (open_token.hpp). The core has no wall clock of its
// own, so the shell tells it the time now and then and the gate runs the clock on from the
// relay's millisecond readings in between.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/open_token.hpp"

namespace kiv {

class OpenGate {
  public:
    // Without a key (the default) every open is let through and its payload ignored.
    void require(const OpenKey* key) { key_ = key; }
    bool required() const { return key_ != nullptr; }
    const OpenKey* key() const { return key_; }
    const OpenKey* previous_key() const { return previous_; }
    // A new key replaces the current one, whose tokens stay good until their own expiry but
    // no later than `previous_until_seconds`, so that rotating the key ends no honest host.
    void rotate(const OpenKey* key, uint64_t previous_until_seconds) {
        previous_ = key_;
        previous_until_seconds_ = previous_until_seconds;
        key_ = key;
    }

    void set_wall_clock(uint64_t unix_seconds, uint32_t now_ms) {
        unix_seconds_ = unix_seconds;
        unix_at_ms_ = now_ms;
    }
    // Whether the open's payload is a token good at now_ms; its fields into `token` if so.
    bool admits(const uint8_t* payload, size_t length, uint32_t now_ms,
                OpenToken* token = nullptr) const {
        uint64_t now_seconds = unix_seconds_ + uint32_t(now_ms - unix_at_ms_) / 1000;
        if (key_->accepts(payload, length, now_seconds, token)) return true;
        return previous_ != nullptr && now_seconds <= previous_until_seconds_ &&
               previous_->accepts(payload, length, now_seconds, token);
    }

  private:
    const OpenKey* key_ = nullptr;
    const OpenKey* previous_ = nullptr;
    uint64_t previous_until_seconds_ = 0;
    uint64_t unix_seconds_ = 0;
    uint32_t unix_at_ms_ = 0;
};

}  // namespace kiv
