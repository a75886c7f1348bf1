// Fuzz target for the tunnel's two session machines: any run of inputs (op byte, arguments:
// relay events, frames and raw payloads from any tag, local datagrams, ticks, sockets that
// cannot be had) keeps their rules, and a mirror of what a shell holds: a socket or place is
// opened only when closed and closed only when open, data goes only to what is open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "tunnel/forward_session.hpp"
#include "tunnel/listen_session.hpp"

namespace {

using namespace kiv;
using namespace kiv::tunnel;

[[noreturn]] void fail(const char* fault) {
    fprintf(stderr, "tunnel_session_fuzz: %s\n", fault);
    abort();
}

struct Input {
    const uint8_t* data;
    size_t size, at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
};

std::optional<ForwardSession> host;
std::optional<ListenSession> join;
Actions actions;
Outbox frames;
bool open_socket[ForwardTable::SOCKETS];
bool held[ListenSession::PLACES];
uint8_t payload[MAX_APP_DATAGRAM];
uint64_t now_us;

// A payload the far end might send: a hello, a welcome, a frame of a few channels and
// bindings, or raw bytes.
size_t make_payload(Input& in) {
    uint8_t kind = in.next(), a = in.next(), b = in.next();
    size_t length = size_t(in.next()) << (b % 9);
    if (length > MAX_APP_DATAGRAM - PIECE_HEADER) length = MAX_APP_DATAGRAM - PIECE_HEADER;
    static uint8_t data[MAX_APP_DATAGRAM];
    uint16_t channel = a % 4, generation = b % 3, binding = uint16_t(100 + a % 3);
    size_t total = (length % 4000) + WHOLE_DATA + 1;
    if (kind % 5 == 0)
        return write_hello(payload, a % 2 ? FrameKind::hello : FrameKind::who, 40 + b % 3);
    if (kind % 5 == 1) return write_welcome(payload, 40 + a % 3, binding, b % 2);
    if (kind % 5 == 2) {
        return write_whole(payload, channel, generation, binding, data,
                           length < WHOLE_DATA ? length : WHOLE_DATA);
    }
    if (kind % 5 == 3) {
        return write_piece(payload, channel, generation, binding, b % 2, data, total,
                           kind % frames_for(total));
    }
    return length < client::MAX_PAYLOAD ? length : client::MAX_PAYLOAD;
}

// The step's actions on the mirror (`fails`: no socket or place to be had), then the checks.
void carry_out(bool fails) {
    bool opened_now[ForwardTable::SOCKETS] = {}, taken_now[ListenSession::PLACES] = {};
    for (const Action& action : actions) {
        uint16_t target = action.target;
        bool& place = held[target % ListenSession::PLACES];
        if (action.kind == ActionKind::open_socket || action.kind == ActionKind::take_place) {
            bool& open = action.kind == ActionKind::take_place ? place : open_socket[target];
            if (open) fail("a socket or place opened twice");
            open = !fails;
            (action.kind == ActionKind::take_place ? taken_now[target] : opened_now[target]) = true;
            if (fails && action.kind == ActionKind::open_socket) host->socket_failed(target);
            if (fails && action.kind == ActionKind::take_place) join->place_failed(target);
        } else if (action.kind == ActionKind::close_socket) {
            if (!open_socket[target]) fail("a socket closed that is not open");
            open_socket[target] = false;
        } else if (action.kind == ActionKind::leave_place ||
                   action.kind == ActionKind::drop_place) {
            if (!place) fail("a place left that is not held");
            place = false;
        } else if (action.kind == ActionKind::close_all) {
            memset(open_socket, 0, sizeof open_socket);
        } else if (action.kind == ActionKind::deliver && action.to == nullptr) {
            if (!open_socket[target] && !opened_now[target]) fail("a datagram for no socket");
        } else if (action.kind == ActionKind::deliver && !action.to->is_set()) {
            fail("a delivery to nobody");
        } else if (action.kind == ActionKind::queue ||
                   (action.kind == ActionKind::send && !action.tag.valid())) {
            if (!place && !taken_now[target]) fail("a datagram by a place not held");
        }
    }
    for (uint16_t index = 0; index < ForwardTable::SOCKETS; ++index) {
        if (open_socket[index] != (host->table().socket(index).client != ForwardTable::NONE)) {
            fail("the shell's sockets and the table disagree");
        }
    }
    for (int index = 0; index < ListenSession::PLACES; ++index) {
        if (held[index] != join->place_held(index)) fail("the shell's places and the session's");
    }
    if (!host->table().consistent() || !join->consistent()) fail("a session is inconsistent");
}

client::Event relay_event(Input& in, uint8_t which) {
    static const client::EventKind KINDS[] = {
        client::EventKind::data,   client::EventKind::data,     client::EventKind::joined,
        client::EventKind::opened, client::EventKind::lost,     client::EventKind::refused,
        client::EventKind::data,   client::EventKind::timed_out};
    client::Event event{KINDS[which % 8],
                        which & 8 ? client::Error::room_full : client::Error::no_room,
                        RoomId(5 + (which >> 4) % 2), Tag(1 + in.next() % 6)};
    if (event.kind == client::EventKind::data) {
        event.payload = payload;
        event.length = make_payload(in);
    }
    return event;
}

void step(Input& in) {
    static const uint64_t STEPS_US[] = {0, 1000, 300'000, 5'000'000, 60'000'000, 61'000'000};
    uint8_t op = in.next();
    actions.clear();
    int which = op % 7;
    if (which <= 1) {
        client::Event event = relay_event(in, in.next());
        host->on_relay(event, now_us, actions);
    } else if (which == 2) {
        uint16_t socket = uint16_t(in.next() % 64);
        size_t length = make_payload(in);
        if (open_socket[socket])
            host->from_application(socket, payload, length, now_us, frames, actions);
    } else if (which == 3) {
        int place = in.next() % ListenSession::PLACES;
        client::Event event = relay_event(in, in.next());
        if (held[place]) (void)join->on_relay(place, event, now_us, actions);
    } else if (which == 4) {
        Peer source = Peer::ipv4(0x7F000001, uint16_t(1 + in.next() % 12));
        size_t length = make_payload(in);
        join->from_application(source, payload, length, now_us, frames, actions);
    } else {
        now_us += STEPS_US[in.next() % 6];
        if (host->tick(now_us, actions) < now_us || join->tick(now_us, actions) < now_us) {
            fail("a tick due in the past");
        }
    }
    frames.count = 0;  // sent
    carry_out((op & 0x80) != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host.emplace();
    join.emplace();
    host->start("relay", 100);
    memset(open_socket, 0, sizeof open_socket);
    memset(held, 0, sizeof held);
    now_us = 1;
    actions.clear();
    join->start(40, RoomId(5), "relay", "ROOMS", actions);
    carry_out(false);
    Input in{data, size};
    while (in.at < size)
        step(in);
    return 0;
}
