// kiv host --forward, the shell: opens the room, and carries out what the forward session
// (tunnel/forward_session.hpp) decides: a socket towards the application for each client of
// the room, or each local sender of a kiv join, read with epoll; frames to the clients.
#include <errno.h>
#include <sys/epoll.h>
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
#include "tunnel/forward_session.hpp"
#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

using tunnel::Action;
using tunnel::ActionKind;
using tunnel::ForwardSession;
using tunnel::ForwardTable;

// Sockets read per wake-up before the others get their turn.
constexpr int BATCHES_PER_WAKE = 8;
constexpr int WAKE_EVENTS = 64;
constexpr size_t RELAY_SLOTS = 16;
constexpr uint32_t RELAY_EVENT = 0;  // epoll data of the relay's socket; sockets are index + 1

// Everything kiv host --forward holds, about 13 MiB: most of it the session's reassembly (a
// few datagrams of up to 64 KB in progress for each client) and the batches of 64 KB
// datagrams. It lives in static storage (forwarder_state below), taken once when the program
// starts: nothing is allocated while datagrams flow, and the stack stays small.
struct Forwarder {
    client::Host host;
    ForwardSession session;
    std::optional<RelayStatus> status;  // made with the relay's address
    Peer target;
    char target_text[Peer::TEXT_CAPACITY] = {};
    int epoll_fd = -1;
    std::array<int, ForwardTable::SOCKETS> fds;  // by the table's socket entry; -1 for none
    ReceiveBatch batch;
    SendBatch to_application;
    EventReport events{"kiv host", ForwardSession::HAPPENING_LABELS, ForwardSession::HAPPENINGS};
    OversizeReport oversize{events, ForwardSession::OVERSIZE, client::MAX_PAYLOAD,
                            "to a client that is not kiv join --listen",
                            ", or join with kiv join --listen"};
    tunnel::Outbox frames;
    tunnel::Actions actions;
    // What the relay sends on in runs is read a run to a buffer.
    client::Link::CoalescedSlot relay_slots[RELAY_SLOTS];
};

void close_socket(Forwarder& forwarder, uint16_t index) {
    // What is gathered for it goes first: a descriptor number may be reused at once.
    forwarder.to_application.flush();
    if (forwarder.fds[index] >= 0) close(forwarder.fds[index]);  // and out of the epoll set
    forwarder.fds[index] = -1;
}

void close_all(Forwarder& forwarder) {
    for (uint16_t index = 0; index < ForwardTable::SOCKETS; ++index) {
        if (forwarder.fds[index] >= 0) close_socket(forwarder, index);
    }
}

// Opens the application's socket for a table entry; the session frees the entry if it cannot.
void open_socket(Forwarder& forwarder, uint16_t index, uint64_t now_us) {
    const ForwardTable::Socket& entry = forwarder.session.table().socket(index);
    const ForwardTable::Client& owner = forwarder.session.table().client(entry.client);
    const Peer& target = forwarder.target;
    int fd = socket(target.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u32 = uint32_t(index) + 1;
    char text[160];
    if (fd < 0 || connect(fd, target.name(), target.name_length()) != 0 ||
        epoll_ctl(forwarder.epoll_fd, EPOLL_CTL_ADD, fd, &interest) != 0) {
        snprintf(text, sizeof text, "no socket for tag %u: %s", owner.tag.value, strerror(errno));
        if (fd >= 0) close(fd);
        forwarder.session.socket_failed(index);
        forwarder.events.note(now_us, ForwardSession::NO_ENTRY, text);
        return;
    }
    enlarge_buffers(fd);
    forwarder.fds[index] = fd;
    Peer local;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    getsockname(fd, local.receive_name(), &length);
    if (owner.kiv) {
        snprintf(text, sizeof text, "tag %u sender %u heard from; %s sees it as %s",
                 owner.tag.value, entry.channel, forwarder.target_text, addr_str(local));
    } else {
        snprintf(text, sizeof text, "tag %u heard from; %s sees it as %s", owner.tag.value,
                 forwarder.target_text, addr_str(local));
    }
    forwarder.events.note(now_us, ForwardSession::OPENED, text);
}

void carry_out(Forwarder& forwarder, uint64_t now_us) {
    for (const Action& action : forwarder.actions) {
        switch (action.kind) {
            case ActionKind::open_socket:
                open_socket(forwarder, action.target, now_us);
                break;
            case ActionKind::close_socket:
                close_socket(forwarder, action.target);
                break;
            case ActionKind::close_all:
                close_all(forwarder);
                break;
            case ActionKind::deliver:
                if (int fd = forwarder.fds[action.target]; fd >= 0) {
                    forwarder.to_application.add(fd, nullptr, 0, action.data, action.length);
                }
                break;
            case ActionKind::send:
                (void)forwarder.host.send(action.tag, action.data, action.length,
                                          now_us);  // a lost one is asked again
                break;
            case ActionKind::note:
                forwarder.events.note(now_us, action.happening, action.text);
                break;
            case ActionKind::oversize:
                forwarder.oversize.count(now_us, action.length, action.text);
                break;
            case ActionKind::say:
                fprintf(stderr, "%s\n", action.text);
                break;
            case ActionKind::print:
                printf("%s\n", action.text);
                fflush(stdout);
                break;
            case ActionKind::queue:  // the listening end's
            case ActionKind::take_place:
            case ActionKind::leave_place:
            case ActionKind::drop_place:
                assert(false);
                break;
        }
    }
    forwarder.actions.clear();
}

void send_frames(Forwarder& forwarder, uint64_t now_us) {
    tunnel::Outbox& frames = forwarder.frames;
    for (size_t sent = 0; sent < frames.count; sent += client::SEND_BATCH) {
        size_t count = std::min(client::SEND_BATCH, frames.count - sent);
        (void)forwarder.host.send_batch(frames.tag, frames.queued + sent, count, now_us);
    }
    frames.count = 0;
}

void from_application(Forwarder& forwarder, uint16_t index, uint64_t now_us) {
    for (int round = 0; round < BATCHES_PER_WAKE; ++round) {
        if (forwarder.fds[index] < 0) return;
        int count = forwarder.batch.fill(forwarder.fds[index]);
        for (int i = 0; i < count; ++i) {
            forwarder.session.from_application(index, forwarder.batch.payload(i),
                                               forwarder.batch.length(i), now_us, forwarder.frames,
                                               forwarder.actions);
            carry_out(forwarder, now_us);
            if (forwarder.frames.full()) send_frames(forwarder, now_us);
        }
        send_frames(forwarder, now_us);
        if (count < ReceiveBatch::SIZE) return;
    }
}

// The room is open: the session announces it or closes the last one's sockets; the relay's
// status says whether it was lost.
void on_opened(Forwarder& forwarder, const client::Event& event, uint64_t now_us) {
    bool same_room = forwarder.session.announced() && event.room == forwarder.session.room();
    forwarder.session.on_relay(event, now_us, forwarder.actions);
    carry_out(forwarder, now_us);
    if (!same_room) {
        forwarder.status->heard();
    } else {
        forwarder.status->regain("; room %s is open", room_code(event.room));
    }
}

// Handles what the relay sent and the host's own timers. Returns an exit status, or -1 to
// go on.
int relay_events(Forwarder& forwarder) {
    for (;;) {
        uint64_t now_us = client::monotonic_us();
        client::Event event = forwarder.host.next_event(now_us);
        switch (event.kind) {
            case client::EventKind::none:
                forwarder.to_application.flush();
                return -1;
            case client::EventKind::refused:
                fprintf(stderr, "kiv host: relay %s refused: %s\n", forwarder.status->relay_text(),
                        client::error_text(event.error));
                return EXIT_FAILED;
            case client::EventKind::timed_out:
                forwarder.status->give_up(forwarder.session.announced() ? " (the room may be lost)"
                                                                        : "");
                return EXIT_FAILED;
            case client::EventKind::opened:
                on_opened(forwarder, event, now_us);
                break;
            case client::EventKind::lost:
                forwarder.status->lose(event.error, "; asking for room %s again",
                                       room_code(forwarder.session.room()));
                forwarder.session.on_relay(event, now_us, forwarder.actions);
                carry_out(forwarder, now_us);
                break;
            case client::EventKind::data:
            case client::EventKind::client_joined:
            case client::EventKind::client_left:
            case client::EventKind::joined:
            case client::EventKind::pong:
            case client::EventKind::path_direct:
            case client::EventKind::path_relayed:
                forwarder.session.on_relay(event, now_us, forwarder.actions);
                carry_out(forwarder, now_us);
                break;
        }
    }
}

int forward(Forwarder& forwarder) {
    Wake wake;
    epoll_event ready[WAKE_EVENTS];
    // The relay's socket is read only when it is readable or a timer of the host is due: a
    // read that finds nothing is a system call each wake-up pays for nothing.
    bool relay_due = true;
    for (;;) {
        if (relay_due) {
            if (int status = relay_events(forwarder); status >= 0) return status;
        }
        uint64_t now_us = client::monotonic_us();
        forwarder.events.flush(now_us);
        uint64_t next_us = forwarder.session.tick(now_us, forwarder.actions);
        carry_out(forwarder, now_us);
        wake.clear();
        wake.by_us(now_us, next_us);
        wake.within_ms(forwarder.host.wait_ms(now_us));
        wake.within_ms(forwarder.events.wait_ms(now_us));
        int count = wake.wait(forwarder.epoll_fd, ready, WAKE_EVENTS);
        if (count < 0) return 0;
        now_us = client::monotonic_us();
        relay_due = count == 0;  // the wait ended on a timer
        for (int i = 0; i < count; ++i) {
            uint32_t which = ready[i].data.u32;
            if (which == RELAY_EVENT) {
                relay_due = true;  // read at the top of the loop
                continue;
            }
            // An entry closed earlier in this round may have been taken again: reading its
            // new socket early is harmless.
            from_application(forwarder, uint16_t(which - 1), now_us);
        }
        if (!relay_due) relay_due = forwarder.host.wait_ms(client::monotonic_us()) == 0;
    }
}

Forwarder forwarder_state;

}  // namespace

int run_forward(const Peer& relay, RoomId requested_room, const Peer& forward_to,
                const uint8_t* open_token, size_t open_token_length, bool direct) {
    Forwarder& forwarder = forwarder_state;
    forwarder.fds.fill(-1);
    forwarder.target = forward_to;
    forwarder.status.emplace("kiv host", relay);
    snprintf(forwarder.target_text, sizeof forwarder.target_text, "%s", addr_str(forward_to));
    raise_descriptor_limit();
    forwarder.session.start(
        forwarder.status->relay_text(), uint16_t(client::unpredictable_start()),
        uint64_t(client::unpredictable_start()) << 32 | client::unpredictable_start());
    client::Host& host = forwarder.host;
    if (open_token != nullptr) (void)host.set_open_token(open_token, open_token_length);
    forwarder.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (forwarder.epoll_fd < 0 || host.set_direct(direct) != client::Error::none ||
        host.connect(relay) != client::Error::none ||
        host.open(requested_room, client::monotonic_us()) != client::Error::none) {
        fprintf(stderr, "kiv host: socket: %s\n",
                strerror(forwarder.epoll_fd < 0 ? errno : host.system_errno()));
        return EXIT_FAILED;
    }
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u32 = RELAY_EVENT;
    if (epoll_ctl(forwarder.epoll_fd, EPOLL_CTL_ADD, host.fd(), &interest) != 0) {
        fprintf(stderr, "kiv host: epoll: %s\n", strerror(errno));
        return EXIT_FAILED;
    }
    enlarge_buffers(host.fd());
    host.coalesce_receives(forwarder.relay_slots, RELAY_SLOTS);
    catch_stop_signals();
    int status = forward(forwarder);
    forwarder.events.finish();
    if (status == 0 && host.close() == client::Error::none) {
        fprintf(stderr, "kiv host: room %s closed\n", room_code(host.room_id()));
    }
    close_all(forwarder);
    close(forwarder.epoll_fd);
    return status;
}

}  // namespace kiv::cli
