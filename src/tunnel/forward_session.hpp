// What kiv host --forward decides, apart from its sockets. It opens a room and gives each of
// its clients a UDP socket of its own towards a local application, so that the application
// sees every client of the room as a peer. A client that is a kiv join (it said hello) gets
// a socket for each of its local senders, and datagrams of any size: its frames are unpacked
// and joined here. Who gets which socket is forward_table.hpp; who is who across a relay
// restart is rules.hpp.
//
// One input at a time (a relay event, a datagram the application sent on socket N, a timer
// tick), with the time; what to do comes back as actions the shell carries out in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/kiv_client.hpp"
#include "tunnel/actions.hpp"
#include "tunnel/forward_table.hpp"
#include "tunnel/tunnel_frame.hpp"

namespace kiv::tunnel {

class ForwardSession {
  public:
    enum Happening : int {
        OPENED,
        CLOSED,
        NO_ENTRY,
        OVERSIZE,
        MALFORMED,
        ASKED,
        GAVE_WAY,
        HAPPENINGS
    };
    static const char* const HAPPENING_LABELS[HAPPENINGS];

    // `relay_text` names the relay in lines; bindings start at `first_binding`, so that they
    // differ from one run of the host to the next. `identity` names this host in welcomes.
    void start(const char* relay_text, uint16_t first_binding, uint64_t identity = 0);

    // An opened, lost or data event of the host's client::Host; the others, and the lines
    // about the relay itself (lost, regained, no answer), are the shell's.
    void on_relay(const client::Event& event, uint64_t now_us, Actions& out);
    // A datagram the application sent on socket `socket`, towards its client: appended to
    // `frames` (whose tag is set to the client's), which the shell sends before it is full().
    void from_application(uint16_t socket, const uint8_t* data, size_t length, uint64_t now_us,
                          Outbox& frames, Actions& out);
    // Closes what has been quiet too long; returns when to be called next.
    uint64_t tick(uint64_t now_us, Actions& out);
    // The shell could not open the socket an open_socket action asked for.
    void socket_failed(uint16_t socket);

    const ForwardTable& table() const { return table_; }
    bool announced() const { return announced_; }
    RoomId room() const { return room_; }

  private:
    void on_opened(RoomId room, Actions& out);
    void on_hello(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us, Actions& out);
    void on_keepalive(Tag tag, uint64_t now_us, Actions& out);
    void on_data(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us, Actions& out);
    void on_frame(uint16_t client, const Frame& frame, size_t length, uint64_t now_us,
                  Actions& out);
    uint16_t new_client(Tag tag, uint64_t now_us, Actions& out);
    bool give_way(uint64_t now_us, Actions& out);
    void deliver(uint16_t client, uint16_t channel, uint16_t generation, const uint8_t* data,
                 size_t length, uint64_t now_us, Actions& out);
    void ask_who(Tag tag, uint16_t client, uint64_t now_us, Actions& out);
    bool has_kiv_client() const;
    void close_socket(uint16_t socket, Actions& out);

    ForwardTable table_;
    Reassembly pieces_[ForwardTable::CLIENTS];
    const char* relay_text_ = "";
    uint64_t identity_ = 0;
    RoomId room_;
    bool announced_ = false;
    uint64_t last_untabled_who_us_ = 0;  // a who to a tag with no entry (see ask_who)
    uint64_t next_expiry_us_ = 0;
};

}  // namespace kiv::tunnel
