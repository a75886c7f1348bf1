// How a kiv command sleeps, and what it says about its relay.
//
// Every command's loop waits in one place: until one of its descriptors is readable, its
// soonest timer is due, or SIGINT/SIGTERM asks it to stop. And the lines about losing,
// regaining and giving up on the relay are written in one place, so that each command words
// them alike and only says, after the relay's address, what it does about it.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>

#include <array>
#include <cstdint>

#include "client/kiv_client.hpp"
#include "wire/peer.hpp"
#include "wire/protocol.hpp"

namespace kiv::cli {

// One wait of a command's loop: the descriptors it watches this round and its soonest
// timer. A round is clear(), then watch() and within_ms() from each part of the loop, then
// wait(), then readable() for each slot that watch() gave.
class Wake {
  public:
    // Enough for the busiest loop that polls: kiv join --listen watches its local socket and
    // one socket per place in the room. A loop with more sockets waits on an epoll set.
    static constexpr int MAX_WATCHED = 1 + MAX_CLIENTS;

    // Catches the stop signals (see catch_stop_signals), so that no loop can wait before a
    // stop signal can end its wait.
    Wake();

    void clear();
    // Watches `fd` for reading in the next wait and returns its slot. A negative fd takes a
    // slot that is never readable: a part of the loop with nothing to read this round keeps
    // its slot number.
    int watch(int fd);
    // Wakes after at most timeout_ms (-1: no limit); the soonest of the round counts.
    void within_ms(int timeout_ms);
    // Wakes by due_us on the client library's clock.
    void by_us(uint64_t now_us, uint64_t due_us);
    int timeout_ms() const { return timeout_ms_; }

    // Waits on the descriptors watched. False when a stop signal came, before or during it.
    bool wait();
    // Waits on an epoll set (the descriptors watched are not looked at): the number of
    // events written to `events`, 0 when the timer ended the wait, -1 on a stop signal.
    int wait(int epoll_fd, epoll_event* events, int capacity);

    // After wait(): the slot's descriptor has something to read.
    bool readable(int slot) const;
    // After wait(): the slot's socket holds an error the network sent back, such as an ICMP
    // port unreachable for a connected UDP socket: nothing listens at that address.
    bool failed(int slot) const;

  private:
    std::array<pollfd, MAX_WATCHED> watched_{};
    int count_ = 0;
    int timeout_ms_ = -1;
    // The signal mask during a wait: the stop signals let in, which are blocked at all other
    // times, so that one that comes between a look at the flag and the wait cuts the wait
    // short instead of being missed until the timer.
    sigset_t during_wait_;
};

// The exit status of a command that ran until its input ended or a stop signal came: 0, or
// 128 plus the signal's number, as shells report a process a signal ended.
int stopped_exit_status();

// What a command says about its relay, on standard error: "COMMAND: lost the relay at R
// (why)...", once however many of its endpoints find out; "COMMAND: regained the relay at
// R..."; and "COMMAND: no answer from the relay at R...". What follows the address is the
// command's own.
class RelayStatus {
  public:
    // `command` as its lines start, "kiv host" or "kiv join".
    RelayStatus(const char* command, const Peer& relay);

    const char* relay_text() const { return relay_text_; }
    bool lost() const { return lost_; }
    // The relay has answered once at least.
    bool answered() const { return answered_; }

    // `then_format`, in the calls below, is what the command adds after the relay's address;
    // null for nothing.
    // The relay is lost, for `why`: says so, unless it is already lost.
    void lose(client::Error why, const char* then_format, ...)
        __attribute__((format(printf, 3, 4)));
    // The relay answered: true when it had been lost, and the command says so its own way.
    bool heard();
    // As heard(), and says the relay is regained when it had been lost.
    bool regain(const char* then_format, ...) __attribute__((format(printf, 2, 3)));
    // The relay did not answer in time: says so with `detail` after. When it never answered
    // at all, the likeliest cause is that no relay runs there, and the line says how to
    // start one.
    void give_up(const char* detail);

  private:
    const char* command_;
    uint16_t port_;
    char relay_text_[Peer::TEXT_CAPACITY] = {};
    bool lost_ = false;
    bool answered_ = false;
};

}  // namespace kiv::cli
