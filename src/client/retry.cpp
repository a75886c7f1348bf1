#include "client/retry.hpp"

#include <time.h>

namespace kiv::client {

uint64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000u + uint64_t(ts.tv_nsec) / 1000u;
}

int wait_ms_until(uint64_t now_us, uint64_t due_us) {
    if (due_us <= now_us) return 0;
    uint64_t ms = (due_us - now_us + 999) / 1000;
    return ms > 3'600'000 ? 3'600'000 : int(ms);
}

void Retry::start(uint64_t now_us, uint64_t timeout_us) {
    active_ = true;
    deadline_us_ = now_us + timeout_us;
    next_send_us_ = now_us + RETRY_US;
}

Retry::Step Retry::step(uint64_t now_us) {
    if (!active_) return Step::wait;
    if (now_us >= deadline_us_) {
        active_ = false;
        return Step::expired;
    }
    if (now_us >= next_send_us_) {
        next_send_us_ = now_us + RETRY_US;
        return Step::resend;
    }
    return Step::wait;
}

}  // namespace kiv::client
