// kiv host --direct and kiv join --direct in line mode: the relay's socket, shared with the
// direct paths. The client library talks to its relay through one end of a socket pair and
// sees the relay's datagrams as always; this link owns the one UDP socket, passes the
// library's datagrams on through the relay or, once a path is direct, straight to the peer,
// and hands the peer's direct data to the library as if the relay had forwarded it (same tag,
// same room). So the NAT mapping the relay sees is the one the peer reaches, the library
// needs no change, and falling back is only a change of route.
//
// A join draws the session's secret and offers its candidates (its local address and the
// address the relay saw, asked for with MSG_REFLECT) through the room; the host answers with
// its own, and both punch (client/direct_path.hpp). Offers never reach the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/direct_path.hpp"
#include "kiv/event_loop.hpp"
#include "wire/peer.hpp"
#include "wire/values.hpp"

namespace kiv::cli {

class DirectLink {
  public:
    DirectLink() = default;
    ~DirectLink();
    DirectLink(const DirectLink&) = delete;
    DirectLink& operator=(const DirectLink&) = delete;

    // Opens the UDP socket and the pair, and asks the relay where it sees this end. Returns
    // the pair's end for the library (Link::attach), or -1 with errno set.
    int open(const Peer& relay, bool host, const char* command);
    void watch(Wake& wake, uint64_t now_us);
    // Moves what waits on both sockets, and runs the paths' timers.
    void pump(uint64_t now_us);

  private:
    struct Session {
        Tag tag;  // at a host: whose; at a join: unused
        client::DirectPath path;
        client::Secret secret{};
    };
    void from_library(uint64_t now_us);
    void from_network(uint64_t now_us);
    void from_relay(uint8_t* bytes, size_t length, uint64_t now_us);
    void on_offer(Tag tag, const client::Offer& offer, uint64_t now_us);
    void send_offer(uint32_t value, const client::Secret& secret);
    void send_direct(Session& session, const uint8_t* datagram, size_t length, uint64_t now_us);
    void carry_out(Session& session, uint64_t now_us);
    void timers(uint64_t now_us);
    bool trying() const;  // still asking the relay, or still offering
    Session* session_for(Tag tag);
    void to_relay(const uint8_t* bytes, size_t length);

    const char* command_ = "kiv";
    bool host_ = false;
    int udp_ = -1;
    int inner_ = -1;  // kiv's end of the pair
    int outer_ = -1;  // the library's end, closed by the library
    Peer relay_;
    client::Candidates own_;
    bool reflected_ = false;
    int reflect_tries_ = 0;
    uint64_t next_try_us_ = 0;
    // At a join: the room its library sends to, and how often the offer was sent.
    uint32_t room_ = 0;
    int offers_sent_ = 0;
    bool answered_ = false;
    uint64_t relay_data_us_ = 0;  // a join's last data through the relay, empty ones too
    std::array<Session, MAX_CLIENTS> sessions_{};
    client::PathActions actions_;
};

}  // namespace kiv::cli
