#include "tunnel/forward_session.hpp"

#include "tunnel/path_line.hpp"

#include <cassert>

#include "tunnel/rules.hpp"
#include "wire/room_code.hpp"

namespace kiv::tunnel {

const char* const ForwardSession::HAPPENING_LABELS[HAPPENINGS] = {
    "client socket(s) opened",
    "socket(s) closed (quiet for 60 s)",
    "datagram(s) dropped (every socket or client entry in use)",
    "datagram(s) over the room's size dropped",
    "malformed frame(s) dropped",
    "tag(s) asked who they are (frames without a hello, or not of the join they were bound to)",
    "client(s) gave way to newer ones (quiet for 5 s)",
};
static_assert(CLIENT_GIVE_WAY_US == 5'000'000, "the line above names the time");

void ForwardSession::start(const char* relay_text, uint16_t first_binding, uint64_t identity) {
    relay_text_ = relay_text;
    identity_ = identity;
    table_.start_bindings(first_binding);
}

void ForwardSession::on_relay(const client::Event& event, uint64_t now_us, Actions& out) {
    switch (event.kind) {
        case client::EventKind::opened:
            on_opened(event.room, out);
            break;
        case client::EventKind::lost:
            // The relay's tags are gone with it: each client is known again when it speaks,
            // a kiv join by its hello, to the same sockets.
            table_.forget_tags();
            break;
        case client::EventKind::data:
            on_data(event.tag, event.payload, event.length, now_us, out);
            break;
        case client::EventKind::path_direct:
        case client::EventKind::path_relayed: {
            char line[160];
            if (path_line("kiv host", true, event, line, sizeof line)) {
                out.add(ActionKind::say).text = out.format("%s", line);
            }
            break;
        }
        // A tag's socket is opened by its first datagram and closed by its own silence
        // (tick), so the roster's news changes nothing here; the rest ends the host.
        case client::EventKind::none:
        case client::EventKind::joined:
        case client::EventKind::pong:
        case client::EventKind::refused:
        case client::EventKind::timed_out:
        case client::EventKind::client_joined:
        case client::EventKind::client_left:
        default:
            break;
    }
}

void ForwardSession::on_opened(RoomId room, Actions& out) {
    if (!announced_) {
        out.add(ActionKind::print).text =
            out.format("room %s (id %u)", room_code(room), room.value);
        out.add(ActionKind::say).text =
            out.format("kiv host: clients join with: kiv join %s %s --listen ADDR:PORT",
                       relay_text_, room_code(room));
        announced_ = true;
    } else if (room != room_) {
        // The relay lost the room (a restart) and gave another: the tags of the old one
        // mean nothing any more.
        out.add(ActionKind::say).text =
            out.format("kiv host: the relay gave a new room %s (id %u); clients must join it",
                       room_code(room), room.value);
        out.add(ActionKind::close_all);
        table_.clear([](uint16_t) {});
        for (Reassembly& set : pieces_)
            set.clear();
    }
    // The same room again needs nothing: its clients come back to the same sockets, a kiv
    // join by its identity.
    room_ = room;
}

void ForwardSession::on_data(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us,
                             Actions& out) {
    if (is_hello(payload, length)) {
        on_hello(tag, payload, length, now_us, out);
        return;
    }
    if (length == 0) {
        on_keepalive(tag, now_us, out);
        return;
    }
    Frame frame = parse_frame(payload, length);
    bool framed = frame.kind == FrameKind::whole || frame.kind == FrameKind::piece;
    uint16_t client = table_.client_by_tag(tag);
    if (client == ForwardTable::NONE) {
        client = new_client(tag, now_us, out);
        if (client == ForwardTable::NONE) {
            out.note(NO_ENTRY,
                     out.format("dropped a datagram from tag %u: all %d client entries in use",
                                tag.value, ForwardTable::CLIENTS));
            return;
        }
        table_.client(client).undecided = framed;
    }
    ForwardTable::Client& owner = table_.client(client);
    owner.last_us = now_us;
    if (owner.undecided) {
        // Frames before a hello: a join that does not know the relay gave it this tag anew.
        // Its frames wait for its hello (lost, as the network could lose them). A join sends
        // nothing else, so a datagram that is no frame shows the tag plain at once, as does
        // a tag that does not answer WHO_TRIES whos.
        if (framed && (owner.whos < WHO_TRIES || now_us - owner.last_who_us < WHO_RETRY_US)) {
            ask_who(tag, client, now_us, out);
            return;
        }
        owner.undecided = false;
    }
    if (!owner.kiv) {
        deliver(client, 0, 0, payload, length, now_us, out);
    } else if (framed && frame.binding != owner.binding) {
        // A frame not of the hello this tag was bound with: another join holds the tag now.
        ask_who(tag, client, now_us, out);
    } else {
        on_frame(client, frame, length, now_us, out);
    }
}

void ForwardSession::on_hello(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us,
                              Actions& out) {
    Frame hello = parse_frame(payload, length);
    uint16_t before = table_.client_by_tag(tag);
    bool was_kiv = before != ForwardTable::NONE && table_.client(before).kiv;
    auto close = [&](uint16_t socket) { close_socket(socket, out); };
    uint16_t client = table_.hello(tag, hello.identity, now_us, close);
    // Only a tag and an identity both new find no entry, and then nothing has changed yet.
    if (client == ForwardTable::NONE && give_way(now_us, out)) {
        client = table_.hello(tag, hello.identity, now_us, close);
    }
    if (client == ForwardTable::NONE) {
        out.note(NO_ENTRY, out.format("dropped a hello from tag %u: all %d client entries in use",
                                      tag.value, ForwardTable::CLIENTS));
        return;
    }
    const ForwardTable::Client& join = table_.client(client);
    assert(join.kiv && join.tag == tag && join.binding != NO_BINDING);
    if (client != before) pieces_[client].clear();
    uint8_t* welcome = out.bytes(WELCOME_SIZE);
    Action& send = out.add(ActionKind::send);
    send.tag = tag;
    send.data = welcome;
    send.length = write_welcome(welcome, hello.identity, join.binding,
                                identity_);  // a lost one is asked again
    if (was_kiv) return;
    // A join that comes back under a new tag keeps its sockets: the application sees the
    // same peers as before.
    const char* text =
        join.sockets > 0
            ? out.format("tag %u is a kiv join heard from before; its %u socket(s) stay", tag.value,
                         join.sockets)
            : out.format("tag %u is a kiv join", tag.value);
    out.note(OPENED, text);
}

// An empty datagram is a client keeping its place in the room: nothing to deliver, and no
// reason to take an entry for it. From a tag not known, beside kiv joins, it may be one of
// them that took up a tag again after a relay restart: it is asked.
void ForwardSession::on_keepalive(Tag tag, uint64_t now_us, Actions& out) {
    uint16_t client = table_.client_by_tag(tag);
    if (client != ForwardTable::NONE) {
        table_.client(client).last_us = now_us;
    } else if (has_kiv_client()) {
        ask_who(tag, ForwardTable::NONE, now_us, out);
    }
}

void ForwardSession::on_frame(uint16_t client, const Frame& frame, size_t length, uint64_t now_us,
                              Actions& out) {
    Reassembly::Whole whole{};
    switch (frame.kind) {
        case FrameKind::whole:
            deliver(client, frame.channel, frame.generation, frame.data, frame.length, now_us, out);
            return;
        case FrameKind::piece:
            if (pieces_[client].add(frame, now_us, &whole)) {
                deliver(client, whole.channel, whole.generation, whole.data, whole.length, now_us,
                        out);
            }
            return;
        case FrameKind::invalid:
        case FrameKind::hello:  // read before the frames
        case FrameKind::welcome:
        case FrameKind::who:
        default:
            break;
    }
    Tag tag = table_.client(client).tag;
    out.note(MALFORMED,
             out.format("dropped a malformed frame of %zu bytes from tag %u", length, tag.value));
}

uint16_t ForwardSession::new_client(Tag tag, uint64_t now_us, Actions& out) {
    uint16_t client = table_.add_client(tag, now_us);
    if (client == ForwardTable::NONE && give_way(now_us, out)) {
        client = table_.add_client(tag, now_us);
    }
    if (client != ForwardTable::NONE) pieces_[client].clear();
    return client;
}

// Frees the entry of the quietest client quiet for CLIENT_GIVE_WAY_US, closing its sockets;
// false when every client has spoken since.
bool ForwardSession::give_way(uint64_t now_us, Actions& out) {
    uint16_t quiet = table_.quietest_client(now_us);
    if (quiet == ForwardTable::NONE) return false;
    const ForwardTable::Client& leaving = table_.client(quiet);
    out.note(GAVE_WAY,
             out.format("tag %u gave its entry and %u socket(s) to a newcomer (quiet for 5 s)",
                        leaving.tag.value, leaving.sockets));
    pieces_[quiet].clear();
    table_.remove_client(quiet, [&](uint16_t socket) { close_socket(socket, out); });
    return true;
}

// Hands a whole datagram from a client's channel to the application.
void ForwardSession::deliver(uint16_t client, uint16_t channel, uint16_t generation,
                             const uint8_t* data, size_t length, uint64_t now_us, Actions& out) {
    ForwardTable::Assignment assignment = table_.assign(client, channel, generation, now_us);
    switch (assignment.verdict) {
        case ForwardTable::Verdict::existing:
            break;
        case ForwardTable::Verdict::replaced:
            close_socket(assignment.socket, out);
            out.add(ActionKind::open_socket).target = assignment.socket;
            break;
        case ForwardTable::Verdict::opened:
            out.add(ActionKind::open_socket).target = assignment.socket;
            break;
        case ForwardTable::Verdict::stale:
            return;
        case ForwardTable::Verdict::full: {
            Tag tag = table_.client(client).tag;
            out.note(NO_ENTRY, out.format("dropped a datagram from tag %u: all %d sockets in use",
                                          tag.value, ForwardTable::SOCKETS));
            return;
        }
    }
    Action& action = out.add(ActionKind::deliver);
    action.target = assignment.socket;
    action.data = data;
    action.length = length;
}

// Asks `tag` to say hello, at most once every WHO_RETRY_US for a client entry (`client`),
// and as often for all tags without one together. A kiv join answers with its hello; anyone
// else ignores it.
void ForwardSession::ask_who(Tag tag, uint16_t client, uint64_t now_us, Actions& out) {
    uint64_t& last_us =
        client != ForwardTable::NONE ? table_.client(client).last_who_us : last_untabled_who_us_;
    if (last_us != 0 && now_us - last_us < WHO_RETRY_US) return;
    last_us = now_us;
    if (client != ForwardTable::NONE) ++table_.client(client).whos;
    uint8_t* who = out.bytes(HELLO_SIZE);
    Action& send = out.add(ActionKind::send);
    send.tag = tag;
    send.data = who;
    send.length = write_hello(who, FrameKind::who, 0);
    out.note(ASKED, out.format("asked tag %u who it is", tag.value));
}

bool ForwardSession::has_kiv_client() const {
    for (uint16_t index = 0; index < ForwardTable::CLIENTS; ++index) {
        if (table_.client(index).in_use && table_.client(index).kiv) return true;
    }
    return false;
}

void ForwardSession::close_socket(uint16_t socket, Actions& out) {
    out.add(ActionKind::close_socket).target = socket;
}

void ForwardSession::from_application(uint16_t socket, const uint8_t* data, size_t length,
                                      uint64_t now_us, Outbox& frames, Actions& out) {
    const ForwardTable::Socket& entry = table_.socket(socket);
    assert(entry.client != ForwardTable::NONE && !frames.full());
    ForwardTable::Client& owner = table_.client(entry.client);
    table_.touch(socket, now_us);
    assert(frames.count == 0 || frames.tag == owner.tag);
    frames.tag = owner.tag;
    if (!owner.kiv) {
        if (length > client::MAX_PAYLOAD) {
            Action& action = out.add(ActionKind::oversize);
            action.length = length;
            action.text = out.format("for tag %u", owner.tag.value);
        } else if (length > 0) {  // an empty one would reach the client as a keep-alive only
            frames.add_raw(data, length);
        }
        return;
    }
    if (length > MAX_APP_DATAGRAM) return;  // cannot be sent over IPv4
    cut_frames(frames, entry.channel, entry.generation, owner.binding, owner.next_datagram, data,
               length);
}

uint64_t ForwardSession::tick(uint64_t now_us, Actions& out) {
    if (now_us >= next_expiry_us_) {
        next_expiry_us_ = table_.expire(
            now_us, EXPIRY_CLOSES_PER_LOOK,
            [&](uint16_t socket) {
                Tag tag = table_.client(table_.socket(socket).client).tag;
                out.note(CLOSED,
                         out.format("tag %u silent for 60 s; its socket is closed", tag.value));
                close_socket(socket, out);
            },
            [&](uint16_t client) { pieces_[client].clear(); });
    }
    // Entries made since are not in the time found; a look every second covers them.
    if (next_expiry_us_ > now_us + EXPIRY_LOOK_US) next_expiry_us_ = now_us + EXPIRY_LOOK_US;
    return next_expiry_us_;
}

void ForwardSession::socket_failed(uint16_t socket) {
    table_.release(socket);
}

}  // namespace kiv::tunnel
