#include "tunnel/listen_session.hpp"

#include "tunnel/path_line.hpp"

#include <cassert>

#include "tunnel/rules.hpp"

namespace kiv::tunnel {

const char* const ListenSession::HAPPENING_LABELS[HAPPENINGS] = {
    "local sender(s) heard from",
    "local sender(s) gave way to newer ones (quiet for 5 s)",
    "local sender(s) forgotten (quiet for 60 s)",
    "datagram(s) dropped (every entry in use)",
    "datagram(s) over the room's size dropped",
    "malformed frame(s) dropped",
};
static_assert(SENDER_QUIET_US == 5'000'000, "the lines name the time");
static_assert(ListenSession::PLACES <= SenderTable::CAPACITY,
              "towards a plain host a sender is a place");

void ListenSession::start(uint64_t identity, RoomId room, const char* relay_text,
                          const char* room_text, Actions& out) {
    identity_ = identity;
    room_ = room;
    relay_text_ = relay_text;
    room_text_ = room_text;
    take_place(0, out);
}

void ListenSession::take_place(int index, Actions& out) {
    places_[index] = Place{};
    places_[index].held = true;
    out.add(ActionKind::take_place).target = uint16_t(index);
}

void ListenSession::leave_place(int index, Actions& out) {
    if (!places_[index].held) return;  // refused or never had: nothing to leave
    places_[index].held = false;
    places_[index].joined = false;
    out.add(ActionKind::leave_place).target = uint16_t(index);
}

void ListenSession::place_failed(int index) {
    places_[index].held = false;
    places_[index].joined = false;
}

ListenSession::Outcome ListenSession::on_relay(int index, const client::Event& event,
                                               uint64_t now_us, Actions& out) {
    assert(index >= 0 && index < PLACES);
    Place& place = places_[index];
    switch (event.kind) {
        case client::EventKind::joined:
            place.joined = true;
            // Every tag says hello, so that a kiv host knows a join that comes back under a
            // new one.
            if (index == 0 && host_kind_ != HostKind::plain) {
                place.welcomed = false;
                place.hellos = 0;
                send_hello(now_us, out);
            }
            return Outcome::go_on;
        case client::EventKind::data:
            from_host(index, event.payload, event.length, now_us, out);
            return failed_ ? Outcome::failed : Outcome::go_on;
        case client::EventKind::refused:
            out.add(ActionKind::say).text =
                out.format("kiv join: room %s (id %u) on %s refused a place: %s", room_text_,
                           room_.value, relay_text_, client::error_text(event.error));
            // A full room may have a place later; without the room or the relay's protocol
            // there is nothing left to do.
            if (event.error != client::Error::room_full || index == 0) return Outcome::failed;
            out.add(ActionKind::say).text =
                out.format("kiv join: that local sender's datagrams are dropped");
            place.held = false;
            place.joined = false;
            out.add(ActionKind::drop_place).target = uint16_t(index);
            return Outcome::go_on;
        case client::EventKind::timed_out:
            return Outcome::failed;
        case client::EventKind::lost:
            // Local datagrams wait in the socket's buffer until the host has heard this
            // join's hello under its new tag.
            place.joined = false;
            place.welcomed = false;
            return Outcome::go_on;
        case client::EventKind::path_direct:
        case client::EventKind::path_relayed: {
            char line[160];
            if (path_line("kiv join", false, event, line, sizeof line)) {
                out.add(ActionKind::say).text = out.format("%s", line);
            }
            return Outcome::go_on;
        }
        case client::EventKind::none:
        case client::EventKind::opened:
        case client::EventKind::pong:
        case client::EventKind::client_joined:
        case client::EventKind::client_left:
        default:
            return Outcome::go_on;
    }
}

void ListenSession::send_hello(uint64_t now_us, Actions& out) {
    uint8_t* hello = out.bytes(HELLO_SIZE);
    Action& send = out.add(ActionKind::send);
    send.target = 0;
    send.data = hello;
    send.length = write_hello(hello, FrameKind::hello, identity_);  // a lost one is asked again
    ++places_[0].hellos;
    places_[0].next_hello_us = now_us + HELLO_RETRY_US;
}

void ListenSession::from_host(int index, const uint8_t* payload, size_t length, uint64_t now_us,
                              Actions& out) {
    if (host_kind_ == HostKind::plain) {
        uint16_t channel = uint16_t(index);
        const SenderTable::Sender& sender = senders_.sender(channel);
        if (length > 0 && sender.in_use) {
            to_sender(channel, sender.generation, payload, length, now_us, out);
        }
        return;
    }
    if (length == 0) return;
    Frame frame = parse_frame(payload, length);
    if (index == 0 && on_stranger(frame, now_us, out)) return;
    Reassembly::Whole whole{};
    switch (frame.kind) {
        case FrameKind::welcome:
            on_welcome(frame, now_us, out);
            return;
        case FrameKind::whole:
            to_sender(frame.channel, frame.generation, frame.data, frame.length, now_us, out);
            return;
        case FrameKind::piece:
            if (pieces_.add(frame, now_us, &whole)) {
                to_sender(whole.channel, whole.generation, whole.data, whole.length, now_us, out);
            }
            return;
        case FrameKind::invalid:
        case FrameKind::hello:
        case FrameKind::who:
        default:
            break;
    }
    // Before the host is known to be kiv, what it sends has no local sender to go to.
    if (host_kind_ != HostKind::kiv) return;
    out.note(MALFORMED, out.format("dropped a malformed frame of %zu bytes from the host", length));
}

// A frame of another binding, or a who: the host does not know this tag as this join (the
// relay restarted, and the join took up a tag by sending). Until the host knows it again,
// nothing is sent and what the host sends is not handed on. True when the frame was that.
bool ListenSession::on_stranger(const Frame& frame, uint64_t now_us, Actions& out) {
    Place& place = places_[0];
    bool framed = frame.kind == FrameKind::whole || frame.kind == FrameKind::piece;
    bool stranger = frame.kind == FrameKind::who || (framed && frame.binding != place.binding);
    if (!stranger || host_kind_ != HostKind::kiv) return false;
    if (!place.welcomed) return true;
    if (!asked_who_) {
        out.add(ActionKind::say).text = out.format(
            "kiv join: the host does not know this join under its new tag (the "
            "relay restarted); saying hello again");
        asked_who_ = true;
    }
    place.welcomed = false;
    place.hellos = 0;
    send_hello(now_us, out);
    return true;
}

// A room's id outlives its host: after a relay restart or the host's silence, whoever opens
// the id first has the room. The join goes on only with the host it first joined.
void ListenSession::fail(const char* what, Actions& out) {
    out.add(ActionKind::say).text =
        out.format("kiv join: room %s (id %u) on %s: %s, not the host this join joined; stopping",
                   room_text_, room_.value, relay_text_, what);
    failed_ = true;
}

void ListenSession::on_welcome(const Frame& frame, uint64_t now_us, Actions& out) {
    Place& place = places_[0];
    if (frame.identity != identity_ || failed_) return;
    if (host_kind_ == HostKind::unknown) host_identity_ = frame.host;  // the first welcome
    if (frame.host != host_identity_) return fail("another kiv host answers", out);
    place.binding = frame.binding;
    place.hellos = 0;
    place.next_hello_us = now_us + HOST_CHECK_US;
    if (place.welcomed) return;
    place.welcomed = true;
    assert(host_kind_ != HostKind::plain && "a plain host's datagrams are never read as frames");
    if (asked_who_) {
        out.add(ActionKind::say).text = out.format("kiv join: the host knows this join again");
        asked_who_ = false;
    }
    if (host_kind_ == HostKind::unknown) {
        host_kind_ = HostKind::kiv;
        out.add(ActionKind::say).text = out.format(
            "kiv join: the host is kiv host --forward: up to %u local senders share "
            "this place, with datagrams of up to %zu bytes",
            unsigned(CHANNELS), MAX_APP_DATAGRAM);
    }
}

void ListenSession::to_sender(uint16_t channel, uint16_t generation, const uint8_t* data,
                              size_t length, uint64_t now_us, Actions& out) {
    const SenderTable::Sender& sender = senders_.sender(channel);
    // An answer for a sender that has since given its entry up has nowhere to go.
    if (!sender.in_use || sender.generation != generation) return;
    senders_.touch(channel, now_us);
    Action& action = out.add(ActionKind::deliver);
    action.to = &sender.source;
    action.data = data;
    action.length = length;
}

bool ListenSession::ready_for_senders() const {
    if (failed_) return false;
    return host_kind_ == HostKind::plain || (host_kind_ == HostKind::kiv && places_[0].welcomed);
}

// How many entries of the sender table may be in use: a plain host has a place for each.
uint16_t ListenSession::sender_limit() const {
    return host_kind_ == HostKind::plain ? uint16_t(PLACES) : CHANNELS;
}

// The entry for a datagram's sender, given one on its first datagram; NONE when every entry
// is in use by a sender heard from in the last SENDER_QUIET_US.
uint16_t ListenSession::sender_for(const Peer& source, uint64_t now_us, Actions& out) {
    SenderTable::Admission admission = senders_.admit(source, now_us, sender_limit());
    // A known sender is every datagram but a sender's first: its address is written out only
    // for the lines about the others, which costs as much as the rest of a datagram's way.
    if (admission.outcome == SenderTable::Outcome::known) return admission.channel;
    char text[Peer::TEXT_CAPACITY];
    char previous[Peer::TEXT_CAPACITY];
    source.write_text(text, sizeof text);
    switch (admission.outcome) {
        case SenderTable::Outcome::known:
            break;
        case SenderTable::Outcome::full:
            out.note(CROWDED, out.format("dropped a datagram from %s: all %u local senders in "
                                         "use, none quiet for 5 s",
                                         text, unsigned(sender_limit())));
            return SenderTable::NONE;
        case SenderTable::Outcome::took_over:
            admission.previous.write_text(previous, sizeof previous);
            out.note(GAVE_WAY,
                     out.format("local sender %s gave way to %s (quiet for 5 s)", previous, text));
            // Towards a plain host the place goes with the sender: the host must see the
            // newcomer as a new client.
            if (host_kind_ == HostKind::plain) leave_place(admission.channel, out);
            break;
        case SenderTable::Outcome::added:
            out.note(HEARD, out.format("local sender %s heard from", text));
            break;
    }
    if (host_kind_ == HostKind::plain && !places_[admission.channel].held) {
        take_place(admission.channel, out);
    }
    return admission.channel;
}

void ListenSession::from_application(const Peer& source, const uint8_t* data, size_t length,
                                     uint64_t now_us, Outbox& frames, Actions& out) {
    assert(!frames.full());
    if (!ready_for_senders() || !source.is_set() || length > MAX_APP_DATAGRAM) return;
    uint16_t channel = sender_for(source, now_us, out);
    if (channel == SenderTable::NONE) return;
    if (host_kind_ == HostKind::kiv) {
        assert(places_[0].held && places_[0].welcomed && channel < CHANNELS);
        cut_frames(frames, channel, senders_.sender(channel).generation, places_[0].binding,
                   next_datagram_, data, length);
        return;
    }
    if (length > client::MAX_PAYLOAD) {
        char text[Peer::TEXT_CAPACITY];
        Action& action = out.add(ActionKind::oversize);
        action.length = length;
        action.text = out.format("from %s", source.write_text(text, sizeof text));
        return;
    }
    // An empty datagram would reach a plain host as a keep-alive only; the library sends
    // those itself.
    assert(host_kind_ == HostKind::plain && channel < PLACES);
    if (length == 0 || !places_[channel].held) return;
    Action& action = out.add(ActionKind::queue);
    action.target = channel;
    action.data = data;
    action.length = length;
}

// The hello's timer: asked again until answered; a host that never answers is plain.
void ListenSession::hello_tick(uint64_t now_us, Actions& out) {
    const Place& place = places_[0];
    if (!place.held || !place.joined || now_us < place.next_hello_us ||
        host_kind_ == HostKind::plain || failed_) {
        return;
    }
    // A kiv host answered before: one that answers no hello for as long as the relay is
    // given to answer is not in the room any more.
    if (host_kind_ == HostKind::kiv && place.hellos >= KNOWN_HOST_HELLO_TRIES) {
        return fail("no kiv host answers", out);
    }
    if (host_kind_ == HostKind::unknown && place.hellos >= HELLO_TRIES) {
        host_kind_ = HostKind::plain;
        out.add(ActionKind::say).text = out.format(
            "kiv join: the host is not kiv host --forward: each local sender takes a "
            "place of its own (%d at most) and datagrams over %zu bytes are dropped",
            PLACES, client::MAX_PAYLOAD);
        return;
    }
    send_hello(now_us, out);
}

uint64_t ListenSession::tick(uint64_t now_us, Actions& out) {
    hello_tick(now_us, out);
    if (now_us >= next_expiry_us_) {
        next_expiry_us_ = senders_.expire(now_us, EXPIRY_CLOSES_PER_LOOK, [&](uint16_t channel) {
            char text[Peer::TEXT_CAPACITY];
            senders_.sender(channel).source.write_text(text, sizeof text);
            out.note(FORGOTTEN, out.format("local sender %s forgotten (quiet for 60 s)", text));
            // Towards a plain host its place is given up; the one place a kiv host knows
            // this join by stays.
            if (host_kind_ == HostKind::plain) leave_place(channel, out);
        });
    }
    // Entries made since are not in the time found; a look every second covers them.
    if (next_expiry_us_ > now_us + EXPIRY_LOOK_US) next_expiry_us_ = now_us + EXPIRY_LOOK_US;
    const Place& place = places_[0];
    bool hello_due = place.held && place.joined && host_kind_ != HostKind::plain && !failed_;
    return hello_due && place.next_hello_us < next_expiry_us_ ? place.next_hello_us
                                                              : next_expiry_us_;
}

bool ListenSession::consistent() const {
    for (int index = 0; index < PLACES; ++index) {
        const Place& place = places_[index];
        if (index > 0 && place.held && host_kind_ != HostKind::plain) return false;
        if (place.welcomed && host_kind_ != HostKind::kiv) return false;
    }
    for (uint16_t channel = 0; channel < SenderTable::CAPACITY; ++channel) {
        const SenderTable::Sender& sender = senders_.sender(channel);
        if (!sender.in_use) continue;
        if (senders_.find(sender.source) != channel) return false;
        if (host_kind_ == HostKind::plain && channel >= PLACES) return false;
    }
    return true;
}

}  // namespace kiv::tunnel
