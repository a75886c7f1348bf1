// Checking that a relay answers, as a state machine: a probe re-sent until a pong, timed from
// the attempt the pong answers. It is handed the transport, a random source for its values,
// and the time with every call.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/events.hpp"
#include "client/retry.hpp"
#include "client/transport.hpp"
#include "wire/values.hpp"

namespace kiv::client {

class PingerSession {
  public:
    // `random` gives the first ping value.
    explicit PingerSession(Transport& transport, RandomSource random = unpredictable_start)
        : transport_(transport), next_value_(random()), probe_first_value_(next_value_) {}

    // Starts one probe, re-sent every RETRY_US until a pong or timeout_us. Answered by a pong
    // or timed_out event. A pong to an earlier probe is ignored.
    Error start(uint64_t now_us, uint64_t timeout_us = DEFAULT_ANSWER_TIMEOUT_US);

    Event next_event(uint64_t now_us);
    int wait_ms(uint64_t now_us) const;

  private:
    Error send_ping(uint64_t now_us);

    // Every attempt carries its own value, so a late pong is timed from the attempt it
    // answers; the send times of the latest attempts are kept in a ring.
    static constexpr uint32_t ATTEMPTS_KEPT = 64;
    Transport& transport_;
    std::array<uint64_t, ATTEMPTS_KEPT> sent_us_{};
    uint32_t next_value_;
    uint32_t probe_first_value_;
    Retry answer_;
};

}  // namespace kiv::client
