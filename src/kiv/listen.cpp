// kiv join --listen: binds a local address and carries what local applications send there
// into the room. It joins at once and says hello: a kiv host answers, and then every local
// sender (up to CHANNELS of them) shares this one place in the room, each as a channel of
// its own with datagrams of any size (tunnel_frame.hpp). A host that does not answer is
// plain: each local sender then takes a place of its own, as many as the room has, and its
// datagrams cross byte for byte.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/kiv_client.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "kiv/sender_table.hpp"
#include "kiv/tunnel.hpp"
#include "kiv/tunnel_frame.hpp"
#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

using tunnel::Frame;
using tunnel::FrameKind;
using tunnel::SenderTable;

constexpr int PLACES = MAX_CLIENTS;
constexpr int BATCHES_PER_WAKE = 8;
constexpr size_t RELAY_SLOTS = 16;
// A hello is asked this often; a host that has not answered the first few is plain.
constexpr uint64_t HELLO_RETRY_US = 300'000;
constexpr int HELLO_TRIES = 3;

enum class HostKind : uint8_t { unknown, kiv, plain };

enum Happening : int { HEARD, GAVE_WAY, FORGOTTEN, CROWDED, OVERSIZE, MALFORMED, HAPPENINGS };
const char* const HAPPENING_LABELS[HAPPENINGS] = {
    "local sender(s) heard from",
    "local sender(s) gave way to newer ones (quiet for 5 s)",
    "local sender(s) forgotten (quiet for 60 s)",
    "datagram(s) dropped (every entry in use)",
    "datagram(s) over the room's size dropped",
    "malformed frame(s) dropped",
};

// A place in the room: one client of the relay, with its own socket.
struct Place {
    // Constructed in place, so taking a place allocates nothing but the socket.
    std::optional<client::Client> client;
    bool joined = false;
    bool welcomed = false;  // the host answered this tag's hello
    uint16_t binding = 0;   // from the welcome; every frame both ways carries it
    int hellos = 0;
    uint64_t next_hello_us = 0;
    // Datagrams of this wake-up towards the relay: views into the receive batch (plain) or
    // into `frames` (kiv).
    iovec queued[ReceiveBatch::SIZE];
    size_t queued_count = 0;
};

struct Listener {
    int fd = -1;
    Peer relay;
    RoomId room_id;
    char relay_text[32] = {};
    char room_text[CODE_LENGTH + 1] = {};
    HostKind host_kind = HostKind::unknown;
    uint64_t identity = 0;
    bool lost_relay = false;
    bool asked_who = false;  // saying hello again because the host did not know this tag
    std::array<Place, PLACES> places{};
    SenderTable senders;
    tunnel::Reassembly pieces;
    ReceiveBatch batch;
    SendBatch to_senders;
    EventReport events{"kiv join", HAPPENING_LABELS, HAPPENINGS};
    OversizeReport oversize{events, OVERSIZE, client::MAX_PAYLOAD, "to a host that is not kiv",
                            ", or forward with kiv host --forward at the far end"};
    uint8_t frames[ReceiveBatch::SIZE][client::MAX_PAYLOAD];
    uint32_t next_datagram = 0;
    uint64_t next_expiry_us = 0;
    // The first place carries everything towards a kiv host; what the relay sends it in runs
    // is read a run to a buffer.
    client::Link::CoalescedSlot relay_slots[RELAY_SLOTS];
};

// How many entries of the sender table may be in use: a plain host has a place for each.
uint16_t sender_limit(const Listener& listener) {
    return listener.host_kind == HostKind::plain ? uint16_t(PLACES) : tunnel::CHANNELS;
}

// Joins the room with place `index`; false (with the reason said) if no socket can be had.
bool take_place(Listener& listener, int index, uint64_t now_us) {
    Place& place = listener.places[index];
    client::Client& joiner = place.client.emplace();
    place.joined = false;
    place.welcomed = false;
    place.hellos = 0;
    if (joiner.connect(listener.relay) != client::Error::none ||
        joiner.join(listener.room_id, now_us) != client::Error::none) {
        fprintf(stderr, "kiv join: socket: %s\n", strerror(joiner.system_errno()));
        place.client.reset();
        return false;
    }
    enlarge_buffers(joiner.fd());
    if (index == 0) joiner.coalesce_receives(listener.relay_slots, RELAY_SLOTS);
    return true;
}

void leave_place(Listener& listener, int index) {
    Place& place = listener.places[index];
    if (place.client) (void)place.client->leave();
    place.client.reset();
    place.joined = false;
}

void send_hello(Listener& listener, Place& place, uint64_t now_us) {
    uint8_t hello[tunnel::HELLO_SIZE];
    tunnel::write_hello(hello, FrameKind::hello, listener.identity);
    (void)place.client->send(hello, sizeof hello, now_us);  // a lost one is asked again
    ++place.hellos;
    place.next_hello_us = now_us + HELLO_RETRY_US;
}

// The hello's timer: asked again until answered; a host that never answers is plain.
void hello_tick(Listener& listener, uint64_t now_us) {
    Place& place = listener.places[0];
    if (!place.client || !place.joined || place.welcomed || now_us < place.next_hello_us ||
        listener.host_kind == HostKind::plain) {
        return;
    }
    if (listener.host_kind == HostKind::unknown && place.hellos >= HELLO_TRIES) {
        listener.host_kind = HostKind::plain;
        fprintf(stderr,
                "kiv join: the host is not kiv host --forward: each local sender takes a place "
                "of its own (%d at most) and datagrams over %zu bytes are dropped\n",
                PLACES, client::MAX_PAYLOAD);
        return;
    }
    send_hello(listener, place, now_us);
}

int hello_wait_ms(const Listener& listener, uint64_t now_us) {
    const Place& place = listener.places[0];
    if (!place.client || !place.joined || place.welcomed || listener.host_kind == HostKind::plain) {
        return -1;
    }
    return client::wait_ms_until(now_us, place.next_hello_us);
}

// Local datagrams are read only once it is known how to carry them; until then they wait in
// the socket's own buffer.
bool ready_for_senders(const Listener& listener) {
    return listener.host_kind == HostKind::plain ||
           (listener.host_kind == HostKind::kiv && listener.places[0].welcomed);
}

void to_sender(Listener& listener, uint16_t channel, uint16_t generation, const uint8_t* data,
               size_t length, uint64_t now_us) {
    const SenderTable::Sender& sender = listener.senders.sender(channel);
    // An answer for a sender that has since given its entry up has nowhere to go.
    if (!sender.in_use || sender.generation != generation) return;
    listener.senders.touch(channel, now_us);
    listener.to_senders.add(listener.fd, sender.source.name(), sender.source.name_length(), data,
                            length);
}

void from_host(Listener& listener, int index, const client::Event& event, uint64_t now_us) {
    Place& place = listener.places[index];
    if (listener.host_kind == HostKind::plain) {
        uint16_t channel = uint16_t(index);
        const SenderTable::Sender& sender = listener.senders.sender(channel);
        if (event.length > 0 && sender.in_use) {
            to_sender(listener, channel, sender.generation, event.payload, event.length, now_us);
        }
        return;
    }
    if (event.length == 0) return;
    Frame frame = tunnel::parse_frame(event.payload, event.length);
    tunnel::Reassembly::Whole whole{};
    // A frame of another binding, or a who: the host does not know this tag as this join
    // (the relay restarted, and the join took up a tag by sending). Until the host knows it
    // again, nothing is sent and what the host sends is not handed on.
    bool stranger = frame.kind == FrameKind::who ||
                    ((frame.kind == FrameKind::whole || frame.kind == FrameKind::piece) &&
                     frame.binding != place.binding);
    if (stranger && listener.host_kind == HostKind::kiv && index == 0) {
        if (place.welcomed) {
            if (!listener.asked_who) {
                fprintf(stderr,
                        "kiv join: the host does not know this join under its new tag (the "
                        "relay restarted); saying hello again\n");
                listener.asked_who = true;
            }
            place.welcomed = false;
            place.hellos = 0;
            send_hello(listener, place, now_us);
        }
        return;
    }
    switch (frame.kind) {
        case FrameKind::welcome:
            if (frame.identity != listener.identity) return;
            place.binding = frame.binding;
            if (place.welcomed) return;
            place.welcomed = true;
            if (listener.asked_who) {
                fprintf(stderr, "kiv join: the host knows this join again\n");
                listener.asked_who = false;
            }
            if (listener.host_kind == HostKind::unknown) {
                listener.host_kind = HostKind::kiv;
                fprintf(stderr,
                        "kiv join: the host is kiv host --forward: up to %u local senders share "
                        "this place, with datagrams of up to %zu bytes\n",
                        unsigned(tunnel::CHANNELS), tunnel::MAX_APP_DATAGRAM);
            }
            return;
        case FrameKind::whole:
            to_sender(listener, frame.channel, frame.generation, frame.data, frame.length, now_us);
            return;
        case FrameKind::piece:
            if (listener.pieces.add(frame, now_us, &whole)) {
                to_sender(listener, whole.channel, whole.generation, whole.data, whole.length,
                          now_us);
            }
            return;
        case FrameKind::invalid:
        case FrameKind::hello:
        case FrameKind::who:
        default:
            break;
    }
    // Before the host is known to be kiv, what it sends has no local sender to go to.
    if (listener.host_kind != HostKind::kiv) return;
    char text[96];
    snprintf(text, sizeof text, "dropped a malformed frame of %zu bytes from the host",
             event.length);
    listener.events.note(now_us, MALFORMED, text);
}

// The entry for a datagram's sender, given one on its first datagram; NONE when every entry
// is in use by a sender heard from in the last SENDER_QUIET_US.
uint16_t sender_for(Listener& listener, const Peer& source, uint64_t now_us) {
    SenderTable::Admission admission =
        listener.senders.admit(source, now_us, sender_limit(listener));
    char text[160];
    switch (admission.outcome) {
        case SenderTable::Outcome::known:
            return admission.channel;
        case SenderTable::Outcome::full:
            snprintf(text, sizeof text,
                     "dropped a datagram from %s: all %u local senders in use, none quiet for 5 s",
                     addr_str(source), unsigned(sender_limit(listener)));
            listener.events.note(now_us, CROWDED, text);
            return SenderTable::NONE;
        case SenderTable::Outcome::took_over:
            snprintf(text, sizeof text, "local sender %s gave way to %s (quiet for 5 s)",
                     addr_str(admission.previous), addr_str(source));
            listener.events.note(now_us, GAVE_WAY, text);
            // Towards a plain host the place goes with the sender: the host must see the
            // newcomer as a new client.
            if (listener.host_kind == HostKind::plain) leave_place(listener, admission.channel);
            break;
        case SenderTable::Outcome::added:
            snprintf(text, sizeof text, "local sender %s heard from", addr_str(source));
            listener.events.note(now_us, HEARD, text);
            break;
    }
    if (listener.host_kind == HostKind::plain && !listener.places[admission.channel].client) {
        (void)take_place(listener, admission.channel, now_us);
    }
    return admission.channel;
}

void queue_kiv(Listener& listener, uint16_t channel, const uint8_t* data, size_t length,
               uint64_t now_us) {
    Place& place = listener.places[0];
    uint16_t generation = listener.senders.sender(channel).generation;
    uint16_t binding = place.binding;
    size_t frames = tunnel::frames_for(length);
    uint32_t datagram = frames > 1 ? listener.next_datagram++ : 0;
    for (size_t piece = 0; piece < frames; ++piece) {
        if (place.queued_count == ReceiveBatch::SIZE) {
            (void)place.client->send_batch(place.queued, place.queued_count, now_us);
            place.queued_count = 0;
        }
        uint8_t* out = listener.frames[place.queued_count];
        size_t written = frames == 1
                             ? tunnel::write_whole(out, channel, generation, binding, data, length)
                             : tunnel::write_piece(out, channel, generation, binding, datagram,
                                                   data, length, piece);
        place.queued[place.queued_count++] = {out, written};
    }
}

void from_application(Listener& listener, uint64_t now_us) {
    bool kiv = listener.host_kind == HostKind::kiv;
    for (int round = 0; round < BATCHES_PER_WAKE; ++round) {
        int count = listener.batch.fill(listener.fd);
        for (int i = 0; i < count; ++i) {
            const Peer& source = listener.batch.source(i);
            size_t length = listener.batch.length(i);
            if (!source.is_set() || length > tunnel::MAX_APP_DATAGRAM) continue;
            uint16_t channel = sender_for(listener, source, now_us);
            if (channel == SenderTable::NONE) continue;
            const uint8_t* data = listener.batch.payload(i);
            if (kiv) {
                queue_kiv(listener, channel, data, length, now_us);
                continue;
            }
            if (length > client::MAX_PAYLOAD) {
                char text[48];
                snprintf(text, sizeof text, "from %s", addr_str(source));
                listener.oversize.count(now_us, length, text);
                continue;
            }
            // An empty datagram would reach a plain host as a keep-alive only; the library
            // sends those itself.
            Place& place = listener.places[channel];
            if (length == 0 || !place.client) continue;
            place.queued[place.queued_count++] = {const_cast<uint8_t*>(data), length};
        }
        // Each place's datagrams of this batch, in their order, go out with one call.
        for (Place& place : listener.places) {
            if (place.queued_count > 0 && place.client) {
                (void)place.client->send_batch(place.queued, place.queued_count, now_us);
            }
            place.queued_count = 0;
        }
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
        switch (event.kind) {
            case client::EventKind::none:
                listener.to_senders.flush();
                return -1;
            case client::EventKind::joined:
                place.joined = true;
                if (listener.lost_relay) {
                    fprintf(stderr, "kiv join: regained the relay at %s\n", listener.relay_text);
                    listener.lost_relay = false;
                }
                // Every tag says hello, so that a kiv host knows a join that comes back under
                // a new one.
                if (index == 0 && listener.host_kind != HostKind::plain) {
                    place.welcomed = false;
                    place.hellos = 0;
                    send_hello(listener, place, now_us);
                }
                break;
            case client::EventKind::data:
                from_host(listener, index, event, now_us);
                break;
            case client::EventKind::refused:
                fprintf(stderr, "kiv join: room %s (id %u) on %s refused a place: %s\n",
                        listener.room_text, listener.room_id.value, listener.relay_text,
                        client::error_text(event.error));
                // A full room may have a place later; without the room or the relay's
                // protocol there is nothing left to do.
                if (event.error != client::Error::room_full || index == 0) return EXIT_FAILED;
                fprintf(stderr, "kiv join: that local sender's datagrams are dropped\n");
                place.client.reset();
                return -1;
            case client::EventKind::timed_out:
                fprintf(stderr, "kiv join: no answer from the relay at %s\n", listener.relay_text);
                return EXIT_FAILED;
            case client::EventKind::lost:
                // Said once for all the places; the library joins again by itself.
                if (!listener.lost_relay) {
                    fprintf(stderr, "kiv join: lost the relay at %s (%s); joining again\n",
                            listener.relay_text, client::error_text(event.error));
                    listener.lost_relay = true;
                }
                // Local datagrams wait in the socket's buffer until the host has heard this
                // join's hello under its new tag.
                place.joined = false;
                place.welcomed = false;
                break;
            case client::EventKind::opened:
            case client::EventKind::pong:
            case client::EventKind::client_joined:
            case client::EventKind::client_left:
            default:
                break;
        }
    }
    return -1;
}

int expire_quiet(Listener& listener, uint64_t now_us) {
    if (now_us >= listener.next_expiry_us) {
        listener.next_expiry_us = listener.senders.expire(now_us, [&](uint16_t channel) {
            char text[96];
            snprintf(text, sizeof text, "local sender %s forgotten (quiet for 60 s)",
                     addr_str(listener.senders.sender(channel).source));
            listener.events.note(now_us, FORGOTTEN, text);
            // Towards a plain host its place is given up; the one place a kiv host knows
            // this join by stays.
            if (listener.host_kind == HostKind::plain) leave_place(listener, channel);
        });
    }
    // Entries made since are not in the time found; a look every second covers them.
    if (listener.next_expiry_us > now_us + REPORT_INTERVAL_US) {
        listener.next_expiry_us = now_us + REPORT_INTERVAL_US;
    }
    return client::wait_ms_until(now_us, listener.next_expiry_us);
}

int listen_loop(Listener& listener) {
    std::array<pollfd, 1 + PLACES> waiting{};
    std::array<int, PLACES> waiting_slot{};  // a place's entry in `waiting`; 0 for none
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
        hello_tick(listener, now_us);
        listener.events.flush(now_us);
        int timeout_ms = expire_quiet(listener, now_us);
        timeout_ms = sooner_ms(timeout_ms, hello_wait_ms(listener, now_us));
        timeout_ms = sooner_ms(timeout_ms, listener.events.wait_ms(now_us));
        int count = 0;
        bool reading = ready_for_senders(listener);
        waiting[count++] = {reading ? listener.fd : -1, POLLIN, 0};
        for (int index = 0; index < PLACES; ++index) {
            Place& place = listener.places[index];
            waiting_slot[index] = 0;
            if (!place.client) continue;
            waiting_slot[index] = count;
            waiting[count++] = {place.client->fd(), POLLIN, 0};
            timeout_ms = sooner_ms(timeout_ms, place.client->wait_ms(now_us));
        }
        if (!wait_readable(waiting.data(), count, timeout_ms)) return 0;
        if (reading && waiting[0].revents != 0) from_application(listener, client::monotonic_us());
        now_us = client::monotonic_us();
        for (int index = 0; index < PLACES; ++index) {
            Place& place = listener.places[index];
            // A place taken while local datagrams were read has its join's answer to come.
            due[index] = place.client &&
                         (waiting_slot[index] == 0 || waiting[waiting_slot[index]].revents != 0 ||
                          place.client->wait_ms(now_us) == 0);
        }
    }
}

Listener listener_state;

}  // namespace

int run_listen(const Peer& relay, RoomId room_id, const Peer& listen_on) {
    Listener& listener = listener_state;
    listener.relay = relay;
    listener.room_id = room_id;
    snprintf(listener.relay_text, sizeof listener.relay_text, "%s", addr_str(relay));
    snprintf(listener.room_text, sizeof listener.room_text, "%s", room_code(room_id));
    // Who this join is to a kiv host, whatever tag the relay gives it: known to the two of
    // them alone, so that no other member of the room can take its sockets.
    listener.identity =
        uint64_t(client::unpredictable_start()) << 32 | client::unpredictable_start();
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
            listener.room_text, listener.relay_text);
    catch_stop_signals();
    if (!take_place(listener, 0, client::monotonic_us())) return EXIT_FAILED;
    int status = listen_loop(listener);
    listener.events.finish();
    for (int index = 0; index < PLACES; ++index)
        leave_place(listener, index);
    if (status == 0) fprintf(stderr, "kiv join: left the room (stopping)\n");
    close(listener.fd);
    return status;
}

}  // namespace kiv::cli
