// What kiv join --listen decides, apart from its sockets. It carries what local applications
// send to one bound address into the room. It joins at once and says hello: a kiv host
// answers, and then every local sender (up to CHANNELS of them) shares this one place in
// the room, each as a channel of its own with datagrams of any size (tunnel_frame.hpp). A
// host that does not answer is plain: each local sender then takes a place of its own, as
// many as the room has, and its datagrams cross byte for byte. Who is who across a relay
// restart is rules.hpp.
//
// One input at a time (an event of one place's client::Client, a datagram from a local
// sender, a timer tick), with the time; what to do comes back as actions the shell carries
// out in order. A place is one client of the relay with its own socket: the shell's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "client/kiv_client.hpp"
#include "tunnel/actions.hpp"
#include "tunnel/sender_table.hpp"
#include "tunnel/tunnel_frame.hpp"

namespace kiv::tunnel {

class ListenSession {
  public:
    static constexpr int PLACES = MAX_CLIENTS;
    enum Happening : int { HEARD, GAVE_WAY, FORGOTTEN, CROWDED, OVERSIZE, MALFORMED, HAPPENINGS };
    static const char* const HAPPENING_LABELS[HAPPENINGS];
    enum class HostKind : uint8_t { unknown, kiv, plain };
    enum class Outcome : uint8_t { go_on, failed };

    // `identity` is who this join is to a kiv host, whatever tag the relay gives it: known to
    // the two of them alone, so that no other member of the room can take its sockets. The
    // texts name the relay and the room in lines. Takes the first place.
    void start(uint64_t identity, RoomId room, const char* relay_text, const char* room_text,
               Actions& out);
    // An event other than none of place `index`'s client::Client. The lines about the relay
    // itself (lost, regained, no answer) are the shell's.
    Outcome on_relay(int index, const client::Event& event, uint64_t now_us, Actions& out);
    // A datagram a local application sent from `source`. Towards a kiv host its frames go
    // to `frames`, which the shell sends by the first place before it is full().
    void from_application(const Peer& source, const uint8_t* data, size_t length, uint64_t now_us,
                          Outbox& frames, Actions& out);
    // Says hello again when due and forgets quiet senders; returns when to be called next.
    uint64_t tick(uint64_t now_us, Actions& out);
    // The shell could not take the place a take_place action asked for.
    void place_failed(int index);

    // True once the join found, after losing the relay, another kiv host in the room or
    // none: it said so, sends nothing more, and the shell stops.
    bool failed() const { return failed_; }
    // Local datagrams are read only once it is known how to carry them; until then they
    // wait in the socket's own buffer.
    bool ready_for_senders() const;
    HostKind host_kind() const { return host_kind_; }
    const SenderTable& senders() const { return senders_; }
    bool place_held(int index) const { return places_[index].held; }
    // The rules between the places, the host's kind and the senders hold. For tests and the
    // fuzzer.
    bool consistent() const;

  private:
    struct Place {
        bool held = false;  // the shell holds a client::Client for it
        bool joined = false;
        bool welcomed = false;       // the host answered this tag's hello
        uint16_t binding = 0;        // from the welcome; every frame both ways carries it
        int hellos = 0;              // since the last welcome
        uint64_t next_hello_us = 0;  // welcomed: when the host is next asked who it is
    };

    void from_host(int index, const uint8_t* payload, size_t length, uint64_t now_us, Actions& out);
    bool on_stranger(const Frame& frame, uint64_t now_us, Actions& out);
    void on_welcome(const Frame& frame, uint64_t now_us, Actions& out);
    void fail(const char* what, Actions& out);
    void hello_tick(uint64_t now_us, Actions& out);
    void send_hello(uint64_t now_us, Actions& out);
    void to_sender(uint16_t channel, uint16_t generation, const uint8_t* data, size_t length,
                   uint64_t now_us, Actions& out);
    uint16_t sender_for(const Peer& source, uint64_t now_us, Actions& out);
    uint16_t sender_limit() const;
    void take_place(int index, Actions& out);
    void leave_place(int index, Actions& out);

    std::array<Place, PLACES> places_{};
    SenderTable senders_;
    Reassembly pieces_;
    HostKind host_kind_ = HostKind::unknown;
    uint64_t identity_ = 0;
    RoomId room_;
    const char* relay_text_ = "";
    const char* room_text_ = "";
    bool asked_who_ = false;  // saying hello again because the host did not know this tag
    // The identity the kiv host named in its first welcome (0 from an older host that names
    // none): the room's host this join talks to, and no other.
    uint64_t host_identity_ = 0;
    bool failed_ = false;
    uint32_t next_datagram_ = 0;
    uint64_t next_expiry_us_ = 0;
};

}  // namespace kiv::tunnel
