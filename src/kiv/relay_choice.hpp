// Which of a relay name's addresses to talk to. A name can give several (localhost gives ::1
// and 127.0.0.1 on many machines) while the relay listens on only one, and a datagram to the
// other is lost. So every address is pinged at once and the first to answer is the relay's;
// one that the network refuses (an ICMP unreachable on its socket) drops out as soon as the
// refusal comes back, the last one left excepted. All at once rather than in turn: an address
// that drops datagrams silently then costs no time of its own, and the whole choice fits in
// the time one address was given before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/kiv_client.hpp"
#include "client/resolve.hpp"
#include "kiv/event_loop.hpp"
#include "wire/peer.hpp"

namespace kiv::cli {

// Each address is watched in one wait.
static_assert(client::RelayAddresses::CAPACITY <= size_t(Wake::MAX_WATCHED));

class RelayChoice {
  public:
    // At least one address. With one, the pings are exactly those of a single client::Pinger.
    explicit RelayChoice(const client::RelayAddresses& addresses);
    RelayChoice(const RelayChoice&) = delete;
    RelayChoice& operator=(const RelayChoice&) = delete;

    // A socket for each address; an address without one drops out, unless none has one.
    client::Error connect();
    // Starts a probe, re-sent as client::Pinger does, to every address still in the running.
    client::Error start(uint64_t now_us, uint64_t timeout_us);
    void watch(Wake& wake, uint64_t now_us);
    // After a wait: a pong or a refusal the relay sent (its address is then the only one in
    // the running), timed_out once the probe's time is up, or none.
    client::Event step(const Wake& wake, uint64_t now_us);

    // The address the next line is about: the one that answered, else the first one in the
    // running.
    const Peer& relay() const { return addresses_.peers[running_[0]]; }
    int system_errno() const { return pingers_[running_[0]].system_errno(); }

  private:
    void keep_only(size_t position);
    void drop(size_t position);

    client::RelayAddresses addresses_;
    std::array<client::Pinger, client::RelayAddresses::CAPACITY> pingers_;
    // Indexes into addresses_ and pingers_ of the addresses still in the running, in the
    // resolver's order; and their slots in the last wait.
    std::array<size_t, client::RelayAddresses::CAPACITY> running_{};
    std::array<int, client::RelayAddresses::CAPACITY> slots_{};
    size_t running_count_ = 0;
};

// For kiv host and kiv join, before they open or join: the address of the relay to use when
// its name gave more than one, in *relay. Returns -1 to go on, or the exit status when no
// address answered in time (said as `command`'s no-answer line) or a stop signal came.
int choose_relay(const char* command, const client::RelayAddresses& addresses, Peer* relay);

}  // namespace kiv::cli
