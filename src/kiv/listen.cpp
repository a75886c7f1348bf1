// kiv join --listen, the shell: binds the local address, and carries out what the listen
// session (tunnel/listen_session.hpp) decides: the places it holds in the room, each a
// client of the relay with a socket of its own, and the datagrams between them and the
// local senders.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/kiv_client.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "kiv/event_loop.hpp"
#include "kiv/tunnel.hpp"
#include "tunnel/listen_session.hpp"
#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

using tunnel::Action;
using tunnel::ActionKind;
using tunnel::ListenSession;

constexpr int PLACES = ListenSession::PLACES;
constexpr int BATCHES_PER_WAKE = 8;
constexpr size_t RELAY_SLOTS = 16;

// A place in the room: one client of the relay, with its own socket.
struct Place {
    // Constructed in place, so taking a place allocates nothing but the socket.
    std::optional<client::Client> client;
    // Datagrams of this read towards a plain host: views into the receive batch.
    iovec queued[ReceiveBatch::SIZE];
    size_t queued_count = 0;
};

// Everything kiv join --listen holds, about 6 MiB: most of it the batches of 64 KB datagrams
// and the reassembly. It lives in static storage (listener_state below), taken once when the
// program starts: nothing is allocated while datagrams flow, and the stack stays small.
struct Listener {
    int fd = -1;
    Peer relay;
    RoomId room_id;
    bool direct = false;                // on the first place, the one that talks to a kiv host
    std::optional<RelayStatus> status;  // made with the relay's address
    char room_text[CODE_LENGTH + 1] = {};
    std::array<Place, PLACES> places{};
    ListenSession session;
    ReceiveBatch batch;
    SendBatch to_senders;
    EventReport events{"kiv join", ListenSession::HAPPENING_LABELS, ListenSession::HAPPENINGS};
    OversizeReport oversize{events, ListenSession::OVERSIZE, client::MAX_PAYLOAD,
                            "to a host that is not kiv",
                            ", or forward with kiv host --forward at the far end"};
    tunnel::Outbox frames;  // towards a kiv host, by the first place
    tunnel::Actions actions;
    // The first place carries everything towards a kiv host; what the relay sends it in runs
    // is read a run to a buffer.
    client::Link::CoalescedSlot relay_slots[RELAY_SLOTS];
};

// Joins the room with place `index`; the session is told if no socket can be had.
void take_place(Listener& listener, int index, uint64_t now_us) {
    client::Client& joiner = listener.places[index].client.emplace();
    if (joiner.set_direct(listener.direct && index == 0) != client::Error::none ||
        joiner.connect(listener.relay) != client::Error::none ||
        joiner.join(listener.room_id, now_us) != client::Error::none) {
        fprintf(stderr, "kiv join: socket: %s\n", strerror(joiner.system_errno()));
        listener.places[index].client.reset();
        listener.session.place_failed(index);
        return;
    }
    enlarge_buffers(joiner.fd());
    if (index == 0) joiner.coalesce_receives(listener.relay_slots, RELAY_SLOTS);
}

void leave_place(Listener& listener, int index) {
    Place& place = listener.places[index];
    if (place.client) (void)place.client->leave();
    place.client.reset();
}

void carry_out(Listener& listener, uint64_t now_us) {
    for (const Action& action : listener.actions) {
        Place& place = listener.places[action.target % PLACES];
        switch (action.kind) {
            case ActionKind::take_place:
                take_place(listener, action.target, now_us);
                break;
            case ActionKind::leave_place:
                leave_place(listener, action.target);
                break;
            case ActionKind::drop_place:
                place.client.reset();
                break;
            case ActionKind::deliver:
                listener.to_senders.add(listener.fd, action.to->name(), action.to->name_length(),
                                        action.data, action.length);
                break;
            case ActionKind::send:  // a lost one is asked again
                if (place.client) (void)place.client->send(action.data, action.length, now_us);
                break;
            case ActionKind::queue:
                if (place.client)
                    place.queued[place.queued_count++] = {const_cast<uint8_t*>(action.data),
                                                          action.length};
                break;
            case ActionKind::note:
                listener.events.note(now_us, action.happening, action.text);
                break;
            case ActionKind::oversize:
                listener.oversize.count(now_us, action.length, action.text);
                break;
            case ActionKind::say:
                fprintf(stderr, "%s\n", action.text);
                break;
            case ActionKind::print:  // the forwarding end's
            case ActionKind::open_socket:
            case ActionKind::close_socket:
            case ActionKind::close_all:
                assert(false);
                break;
        }
    }
    listener.actions.clear();
}

// Each place's datagrams of this read, in their order, go out with one call.
void send_queued(Listener& listener, uint64_t now_us) {
    tunnel::Outbox& frames = listener.frames;
    Place& first = listener.places[0];
    for (size_t sent = 0; sent < frames.count && first.client; sent += client::SEND_BATCH) {
        size_t count = std::min(client::SEND_BATCH, frames.count - sent);
        (void)first.client->send_batch(frames.queued + sent, count, now_us);
    }
    frames.count = 0;
    for (Place& place : listener.places) {
        if (place.queued_count > 0 && place.client) {
            (void)place.client->send_batch(place.queued, place.queued_count, now_us);
        }
        place.queued_count = 0;
    }
}

void from_application(Listener& listener, uint64_t now_us) {
    for (int round = 0; round < BATCHES_PER_WAKE; ++round) {
        int count = listener.batch.fill(listener.fd);
        for (int i = 0; i < count; ++i) {
            listener.session.from_application(listener.batch.source(i), listener.batch.payload(i),
                                              listener.batch.length(i), now_us, listener.frames,
                                              listener.actions);
            carry_out(listener, now_us);
            if (listener.frames.full()) send_queued(listener, now_us);
        }
        send_queued(listener, now_us);
        if (count < ReceiveBatch::SIZE) return;
    }
}

// Handles what the relay sent one place and its timers. Returns an exit status, or -1 to go
// on.
int relay_events(Listener& listener, int index) {
    Place& place = listener.places[index];
    while (place.client) {
        uint64_t now_us = client::monotonic_us();
        client::Event event = place.client->next_event(now_us);
        if (event.kind == client::EventKind::none) {
            listener.to_senders.flush();
            return -1;
        }
        if (event.kind == client::EventKind::joined) listener.status->regain(nullptr);
        if (event.kind == client::EventKind::lost) {
            // Said once for all the places; the library joins again by itself.
            listener.status->lose(event.error, "; joining again");
        }
        if (event.kind == client::EventKind::timed_out) listener.status->give_up("");
        ListenSession::Outcome outcome =
            listener.session.on_relay(index, event, now_us, listener.actions);
        carry_out(listener, now_us);
        if (outcome == ListenSession::Outcome::failed) return EXIT_FAILED;
    }
    return -1;
}

int listen_loop(Listener& listener) {
    Wake wake;
    std::array<int, PLACES> slots{};  // a place's slot in the wait; -1 for none
    // A place's socket is read only when it is readable or a timer of its client is due: a
    // read that finds nothing is a system call each wake-up pays for nothing.
    std::array<bool, PLACES> due;
    due.fill(true);
    for (;;) {
        // Each place's own socket first: what the host sent it, and its timers.
        for (int index = 0; index < PLACES; ++index) {
            if (!due[index]) continue;
            if (int status = relay_events(listener, index); status >= 0) return status;
        }
        uint64_t now_us = client::monotonic_us();
        listener.events.flush(now_us);
        wake.clear();
        wake.by_us(now_us, listener.session.tick(now_us, listener.actions));
        carry_out(listener, now_us);
        if (listener.session.failed()) return EXIT_FAILED;
        wake.within_ms(listener.events.wait_ms(now_us));
        bool reading = listener.session.ready_for_senders();
        int local_slot = wake.watch(reading ? listener.fd : -1);
        for (int index = 0; index < PLACES; ++index) {
            Place& place = listener.places[index];
            slots[index] = place.client ? wake.watch(place.client->fd()) : -1;
            if (place.client) wake.within_ms(place.client->wait_ms(now_us));
        }
        if (!wake.wait()) return 0;
        if (wake.readable(local_slot)) from_application(listener, client::monotonic_us());
        now_us = client::monotonic_us();
        for (int index = 0; index < PLACES; ++index) {
            Place& place = listener.places[index];
            // A place taken while local datagrams were read has its join's answer to come.
            due[index] = place.client && (slots[index] < 0 || wake.readable(slots[index]) ||
                                          place.client->wait_ms(now_us) == 0);
        }
    }
}

Listener listener_state;

}  // namespace

int run_listen(const Peer& relay, RoomId room_id, const Peer& listen_on, bool direct) {
    Listener& listener = listener_state;
    listener.relay = relay;
    listener.direct = direct;
    listener.room_id = room_id;
    listener.status.emplace("kiv join", relay);
    snprintf(listener.room_text, sizeof listener.room_text, "%s", room_code(room_id));
    raise_descriptor_limit();
    listener.fd = socket(listen_on.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener.fd < 0 || bind(listener.fd, listen_on.name(), listen_on.name_length()) != 0) {
        fprintf(stderr, "kiv join: cannot listen on %s: %s\n", addr_str(listen_on),
                strerror(errno));
        return EXIT_FAILED;
    }
    enlarge_buffers(listener.fd);
    // With port 0 the system chose one: show the one taken.
    Peer bound = listen_on;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    getsockname(listener.fd, bound.receive_name(), &length);
    fprintf(stderr, "kiv join: listening on %s for room %s on %s\n", addr_str(bound),
            listener.room_text, listener.status->relay_text());
    catch_stop_signals();
    uint64_t identity =
        uint64_t(client::unpredictable_start()) << 32 | client::unpredictable_start();
    listener.session.start(identity, room_id, listener.status->relay_text(), listener.room_text,
                           listener.actions);
    carry_out(listener, client::monotonic_us());
    if (!listener.session.place_held(0)) return EXIT_FAILED;
    int status = listen_loop(listener);
    listener.events.finish();
    for (int index = 0; index < PLACES; ++index)
        leave_place(listener, index);
    if (status == 0) fprintf(stderr, "kiv join: left the room (stopping)\n");
    close(listener.fd);
    return status;
}

}  // namespace kiv::cli
