#include "client/pinger_session.hpp"

namespace kiv::client {

using namespace events;

Error PingerSession::start(uint64_t now_us, uint64_t timeout_us) {
    probe_first_value_ = next_value_;
    Error error = send_ping(now_us);
    if (error != Error::none) return error;
    answer_.start(now_us, timeout_us);
    return Error::none;
}

Error PingerSession::send_ping(uint64_t now_us) {
    uint32_t value = next_value_++;
    sent_us_[value % ATTEMPTS_KEPT] = now_us;
    return transport_.send_header(MsgType::MSG_PING, value);
}

Event PingerSession::next_event(uint64_t now_us) {
    switch (answer_.step(now_us)) {
        case Retry::Step::wait:
            break;
        case Retry::Step::resend:
            (void)send_ping(now_us);
            break;
        case Retry::Step::expired:
            return timed_out();
    }
    Transport::Datagram in;
    while (transport_.receive(&in, now_us)) {
        if (!answer_.active()) continue;
        if (in.type == MsgType::MSG_ERROR) {
            answer_.stop();
            return refused(error_from_wire(in.value));
        }
        // Unsigned distances: a pong counts when it answers an attempt of this probe whose
        // send time is still in the ring.
        uint32_t age = next_value_ - in.value;
        bool this_probe = in.value - probe_first_value_ < next_value_ - probe_first_value_;
        if (in.type != MsgType::MSG_PONG || !this_probe || age > ATTEMPTS_KEPT) continue;
        answer_.stop();
        Event event;
        event.kind = EventKind::pong;
        event.round_trip_us = uint32_t(now_us - sent_us_[in.value % ATTEMPTS_KEPT]);
        return event;
    }
    return {};
}

int PingerSession::wait_ms(uint64_t now_us) const {
    return answer_.active() ? wait_ms_until(now_us, answer_.next_us()) : -1;
}

}  // namespace kiv::client
