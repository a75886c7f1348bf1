#include "kiv/relay_choice.hpp"

#include <cassert>

#include "kiv/cli.hpp"

namespace kiv::cli {

RelayChoice::RelayChoice(const client::RelayAddresses& addresses) : addresses_(addresses) {
    assert(addresses.count >= 1 && addresses.count <= client::RelayAddresses::CAPACITY);
    for (size_t i = 0; i < addresses.count; ++i)
        running_[i] = i;
    running_count_ = addresses.count;
}

client::Error RelayChoice::connect() {
    client::Error first_error = client::Error::none;
    size_t connected = 0;
    for (size_t position = 0; position < running_count_; ++position) {
        size_t index = running_[position];
        client::Error error = pingers_[index].connect(addresses_.peers[index]);
        if (error == client::Error::none) {
            running_[connected++] = index;
        } else if (first_error == client::Error::none) {
            first_error = error;
        }
    }
    // With no socket at all, the first address stays to be named in the error.
    if (connected == 0) return first_error;
    running_count_ = connected;
    return client::Error::none;
}

client::Error RelayChoice::start(uint64_t now_us, uint64_t timeout_us) {
    for (size_t position = 0; position < running_count_; ++position) {
        client::Error error = pingers_[running_[position]].start(now_us, timeout_us);
        if (error != client::Error::none) return error;
    }
    return client::Error::none;
}

void RelayChoice::watch(Wake& wake, uint64_t now_us) {
    for (size_t position = 0; position < running_count_; ++position) {
        const client::Pinger& pinger = pingers_[running_[position]];
        slots_[position] = wake.watch(pinger.fd());
        wake.within_ms(pinger.wait_ms(now_us));
    }
}

client::Event RelayChoice::step(const Wake& wake, uint64_t now_us) {
    // Backwards, so that a drop moves only addresses already looked at.
    for (size_t position = running_count_; position-- > 0;) {
        if (running_count_ > 1 && wake.failed(slots_[position])) drop(position);
    }
    client::Event outcome;
    size_t expired = 0;
    for (size_t position = 0; position < running_count_; ++position) {
        client::Event event = pingers_[running_[position]].next_event(now_us);
        if (event.kind == client::EventKind::pong || event.kind == client::EventKind::refused) {
            keep_only(position);
            return event;
        }
        // Every address's probe started at the same time with the same time-out, so their
        // time is up at the same step.
        if (event.kind == client::EventKind::timed_out) {
            outcome = event;
            ++expired;
        }
    }
    return expired == running_count_ ? outcome : client::Event{};
}

void RelayChoice::keep_only(size_t position) {
    running_[0] = running_[position];
    running_count_ = 1;
}

void RelayChoice::drop(size_t position) {
    assert(running_count_ > 1 && position < running_count_);
    for (size_t later = position + 1; later < running_count_; ++later) {
        running_[later - 1] = running_[later];
        slots_[later - 1] = slots_[later];
    }
    --running_count_;
}

int choose_relay(const char* command, const client::RelayAddresses& addresses, Peer* relay) {
    *relay = addresses.peers[0];
    if (addresses.count == 1) return -1;
    RelayChoice choice(addresses);
    // The time kiv host and kiv join give the relay to answer an open or a join.
    if (choice.connect() != client::Error::none ||
        choice.start(client::monotonic_us(), client::DEFAULT_ANSWER_TIMEOUT_US) !=
            client::Error::none) {
        return -1;  // the command's own socket meets the same failure and says so
    }
    Wake wake;
    for (;;) {
        wake.clear();
        choice.watch(wake, client::monotonic_us());
        if (!wake.wait()) return stopped_exit_status();
        client::Event event = choice.step(wake, client::monotonic_us());
        *relay = choice.relay();
        if (event.kind == client::EventKind::timed_out) {
            RelayStatus(command, *relay).give_up("");
            return EXIT_FAILED;
        }
        if (event.kind != client::EventKind::none) return -1;
    }
}

}  // namespace kiv::cli
