// The clock of the client library: the intervals its endpoints keep, and a request re-sent
// until it is answered or its time is up. The caller supplies the time, so tests step
// through minutes at once.
#pragma once

#include <cstdint>

#include "wire/protocol.hpp"

namespace kiv::client {

// The relay forgets a peer silent for TIMEOUT_MS; half of that leaves room for one lost
// datagram.
inline constexpr uint64_t KEEPALIVE_US = uint64_t(TIMEOUT_MS) * 1000 / 2;
// Requests that need an answer (open, join, ping) are re-sent this often until answered.
inline constexpr uint64_t RETRY_US = 1'000'000;
inline constexpr uint64_t DEFAULT_ANSWER_TIMEOUT_US = 5'000'000;
// How long an endpoint that lost the relay or its place keeps trying: as long as the relay
// itself would keep a silent peer, so that a restart within that time is survived.
inline constexpr uint64_t RELAY_TIMEOUT_US = uint64_t(TIMEOUT_MS) * 1000;
// A host asks for its room this often: a restarted relay has it again within this time of
// coming back, and the host's clients can re-join. One datagram each way per interval.
inline constexpr uint64_t HOST_KEEPALIVE_US = 2'000'000;
// An answer awaited this long after a keep-alive or probe means the relay is lost.
inline constexpr uint64_t LOST_AFTER_US = 3'000'000;
// A joined client that has heard nothing from the relay for this long sends its empty
// keep-alive then (and as often while the silence lasts) instead of waiting KEEPALIVE_US: a
// relay that restarted answers it with no such room, or lets it back into the room its host
// opened again, where the host hears from it; a client that only receives would otherwise
// not be heard of for half a minute. At most one datagram each way per interval.
inline constexpr uint64_t QUIET_KEEPALIVE_US = 2'000'000;

// A monotonic clock in microseconds, for callers that have none of their own.
uint64_t monotonic_us();
// Milliseconds from now_us until due_us, rounded up, for poll(); 0 when already due.
int wait_ms_until(uint64_t now_us, uint64_t due_us);
// Microseconds from now_us until due_us, none when already due.
inline uint64_t left_until(uint64_t now_us, uint64_t due_us) {
    return due_us > now_us ? due_us - now_us : 0;
}

// A request re-sent every RETRY_US until it is answered or its time is up.
class Retry {
  public:
    enum class Step : uint8_t { wait, resend, expired };
    void start(uint64_t now_us, uint64_t timeout_us);
    void stop() { active_ = false; }
    bool active() const { return active_; }
    Step step(uint64_t now_us);
    uint64_t next_us() const { return next_send_us_ < deadline_us_ ? next_send_us_ : deadline_us_; }

  private:
    bool active_ = false;
    uint64_t deadline_us_ = 0;
    uint64_t next_send_us_ = 0;
};

}  // namespace kiv::client
