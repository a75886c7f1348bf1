// What a tunnel session asks its shell to do, one input at a time: the session decides, the
// shell (src/kiv/forward.cpp, src/kiv/listen.cpp) opens and closes sockets, sends and writes
// lines. Both buffers are the caller's and fixed in size, so a session allocates nothing.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "client/kiv_client.hpp"
#include "tunnel/tunnel_frame.hpp"
#include "wire/peer.hpp"
#include "wire/values.hpp"

namespace kiv::tunnel {

enum class ActionKind : uint8_t {
    open_socket,   // forward: open the application's socket for table entry `target`
    close_socket,  // forward: close it; what is gathered for it goes first
    close_all,     // forward: close every application socket
    deliver,       // `data` to the application: socket `target` (forward) or `to` (listen)
    send,          // `data` now: to tag `tag` (forward) or by place `target` (listen)
    queue,         // listen, plain host: `data` by place `target`, with this read's batch
    take_place,    // listen: join the room with place `target`
    leave_place,   // listen: leave the room with place `target`
    drop_place,    // listen: the relay refused place `target`; give it up without a word
    note,          // an event for the rate-limited report: `happening` and `text`
    oversize,      // a datagram of `length` bytes over the room's size; `text` names whose
    say,           // `text` as a line on standard error
    print,         // `text` as a line on standard output
};

struct Action {
    ActionKind kind = ActionKind::note;
    int happening = 0;
    uint16_t target = 0;
    Tag tag;
    const Peer* to = nullptr;
    const uint8_t* data = nullptr;  // valid until the session's next input
    size_t length = 0;
    const char* text = nullptr;
};

class Actions {
  public:
    // Giving a kiv join's entry to a newcomer closes up to CHANNELS sockets in one input;
    // nothing else asks for more than a few dozen actions.
    static constexpr size_t CAPACITY = CHANNELS + 64;
    static constexpr size_t TEXT_CAPACITY = 64 * 160;
    static constexpr size_t BYTES_CAPACITY = 8 * WELCOME_SIZE;

    Action& add(ActionKind kind);
    // An event for the report: a `happening` of the session's and its line.
    void note(int happening, const char* text) {
        Action& action = add(ActionKind::note);
        action.happening = happening;
        action.text = text;
    }
    // Copies a formatted line into the buffer's own text; the pointer lives until clear().
    const char* format(const char* pattern, ...) __attribute__((format(printf, 2, 3)));
    // Room for a control frame of `length` bytes, sent by a `send` action.
    uint8_t* bytes(size_t length);
    void clear();

    size_t size() const { return count_; }
    const Action& operator[](size_t index) const { return items_[index]; }
    const Action* begin() const { return items_; }
    const Action* end() const { return items_ + count_; }

  private:
    Action items_[CAPACITY];
    size_t count_ = 0;
    char text_[TEXT_CAPACITY];
    size_t text_used_ = 0;
    uint8_t bytes_[BYTES_CAPACITY];
    size_t bytes_used_ = 0;
};

// Datagrams towards the far end of one room member, gathered for the shell to send a
// client::SEND_BATCH at a time: frames between kiv ends, raw payloads towards a plain one.
// Room is kept for one datagram cut into the most pieces, so the shell sends once it is
// short of that (full()).
struct Outbox {
    static constexpr size_t CAPACITY = client::SEND_BATCH + MAX_PIECES;
    Tag tag;  // forward: the client they all go to
    size_t count = 0;
    iovec queued[CAPACITY];
    uint8_t frames[CAPACITY][client::MAX_PAYLOAD];

    bool full() const { return count + MAX_PIECES > CAPACITY; }
    // A payload sent as it is (towards a plain peer).
    void add_raw(const uint8_t* data, size_t length);
};

// Cuts an application datagram (at most MAX_APP_DATAGRAM bytes) into frames at the end of
// `out`: one whole frame, or pieces numbered by `next_datagram`, which then moves on.
void cut_frames(Outbox& out, uint16_t channel, uint16_t generation, uint16_t binding,
                uint32_t& next_datagram, const uint8_t* data, size_t length);

}  // namespace kiv::tunnel
