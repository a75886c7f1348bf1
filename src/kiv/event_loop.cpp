#include "kiv/event_loop.hpp"

#include <cassert>
#include <cstdarg>
#include <cstdio>

#include "kiv/cli.hpp"
#include "wire/addr_text.hpp"
#include "wire/protocol.hpp"

namespace kiv::cli {

Wake::Wake() {
    catch_stop_signals();
    sigprocmask(SIG_BLOCK, nullptr, &during_wait_);
    sigdelset(&during_wait_, SIGINT);
    sigdelset(&during_wait_, SIGTERM);
}

void Wake::clear() {
    count_ = 0;
    timeout_ms_ = -1;
}

int Wake::watch(int fd) {
    assert(count_ < MAX_WATCHED);
    watched_[size_t(count_)] = {fd, POLLIN, 0};
    return count_++;
}

void Wake::within_ms(int timeout_ms) {
    if (timeout_ms < 0) return;
    if (timeout_ms_ < 0 || timeout_ms < timeout_ms_) timeout_ms_ = timeout_ms;
}

void Wake::by_us(uint64_t now_us, uint64_t due_us) {
    within_ms(client::wait_ms_until(now_us, due_us));
}

bool Wake::wait() {
    timespec limit{timeout_ms_ / 1000, long(timeout_ms_ % 1000) * 1'000'000};
    // An interrupted or failed wait is one that ended early: the loop reads what is ready,
    // looks at its timers and waits again.
    (void)ppoll(watched_.data(), nfds_t(count_), timeout_ms_ < 0 ? nullptr : &limit, &during_wait_);
    return stop_signal() == 0;
}

int Wake::wait(int epoll_fd, epoll_event* events, int capacity) {
    int count = epoll_pwait(epoll_fd, events, capacity, timeout_ms_, &during_wait_);
    if (stop_signal() != 0) return -1;
    return count < 0 ? 0 : count;
}

bool Wake::readable(int slot) const {
    assert(slot >= 0 && slot < count_);
    return watched_[size_t(slot)].fd >= 0 && watched_[size_t(slot)].revents != 0;
}

bool Wake::failed(int slot) const {
    assert(slot >= 0 && slot < count_);
    return (watched_[size_t(slot)].revents & POLLERR) != 0;
}

int stopped_exit_status() {
    return stop_signal() != 0 ? 128 + stop_signal() : 0;
}

RelayStatus::RelayStatus(const char* command, const Peer& relay)
    : command_(command), port_(relay.port()) {
    snprintf(relay_text_, sizeof relay_text_, "%s", addr_str(relay));
}

namespace {

void say_line(const char* command, const char* what, const char* relay_text, const char* middle,
              const char* then_format, va_list then_arguments) {
    fprintf(stderr, "%s: %s the relay at %s%s", command, what, relay_text, middle);
    if (then_format != nullptr) vfprintf(stderr, then_format, then_arguments);
    fputc('\n', stderr);
}

}  // namespace

void RelayStatus::lose(client::Error why, const char* then_format, ...) {
    if (lost_) return;
    lost_ = true;
    char reason[96];
    snprintf(reason, sizeof reason, " (%s)", client::error_text(why));
    va_list arguments;
    va_start(arguments, then_format);
    say_line(command_, "lost", relay_text_, reason, then_format, arguments);
    va_end(arguments);
}

bool RelayStatus::heard() {
    answered_ = true;
    bool was_lost = lost_;
    lost_ = false;
    return was_lost;
}

bool RelayStatus::regain(const char* then_format, ...) {
    if (!heard()) return false;
    va_list arguments;
    va_start(arguments, then_format);
    say_line(command_, "regained", relay_text_, "", then_format, arguments);
    va_end(arguments);
    return true;
}

void RelayStatus::give_up(const char* detail) {
    fprintf(stderr, "%s: no answer from the relay at %s%s", command_, relay_text_, detail);
    if (!answered_) {
        // kiv-relay takes its port as its one operand.
        if (port_ == DEFAULT_PORT) {
            fprintf(stderr, " (is a relay running there? start one with: kiv-relay)");
        } else {
            fprintf(stderr, " (is a relay running there? start one with: kiv-relay %u)",
                    unsigned(port_));
        }
    }
    fputc('\n', stderr);
}

}  // namespace kiv::cli
