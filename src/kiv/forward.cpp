// kiv host --forward: opens a room and gives each of its clients a UDP socket of its own,
// connected to a local application, so that the application sees every client of the room
// as a peer and answers it the way it answers anyone. A client that is a kiv join (it said
// hello) gets a socket for each of its local senders, and datagrams of any size: its frames
// are unpacked and joined here (tunnel_frame.hpp).
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "client/kiv_client.hpp"
#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "kiv/forward_table.hpp"
#include "kiv/tunnel.hpp"
#include "kiv/tunnel_frame.hpp"
#include "wire/addr_text.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {
namespace {

using tunnel::ForwardTable;
using tunnel::Frame;
using tunnel::FrameKind;

// Sockets read per wake-up before the others get their turn.
constexpr int BATCHES_PER_WAKE = 8;
constexpr int WAKE_EVENTS = 64;
constexpr size_t RELAY_SLOTS = 16;
// A tag that sends frames without a hello is asked who it is this often, this many times,
// before it is taken for a plain client.
constexpr uint64_t WHO_RETRY_US = 300'000;
constexpr uint8_t WHO_TRIES = 3;
constexpr uint32_t RELAY_EVENT = 0;  // epoll data of the relay's socket; sockets are index + 1

enum Happening : int { OPENED, CLOSED, NO_ENTRY, OVERSIZE, MALFORMED, ASKED, HAPPENINGS };
const char* const HAPPENING_LABELS[HAPPENINGS] = {
    "client socket(s) opened",
    "socket(s) closed (quiet for 60 s)",
    "datagram(s) dropped (every socket or client entry in use)",
    "datagram(s) over the room's size dropped",
    "malformed frame(s) dropped",
    "tag(s) asked who they are (frames without a hello, or not of the join they were bound to)",
};

struct Forwarder {
    client::Host host;
    Peer target;
    char relay_text[32] = {};
    char target_text[32] = {};
    int epoll_fd = -1;
    ForwardTable table;
    tunnel::Reassembly pieces[ForwardTable::CLIENTS];
    ReceiveBatch batch;
    SendBatch to_application;
    EventReport events{"kiv host", HAPPENING_LABELS, HAPPENINGS};
    OversizeReport oversize{events, OVERSIZE, client::MAX_PAYLOAD,
                            "to a client that is not kiv join --listen",
                            ", or join with kiv join --listen"};
    // Frames waiting for one send_batch towards one client.
    uint8_t frames[client::SEND_BATCH][client::MAX_PAYLOAD];
    iovec queued[client::SEND_BATCH];
    size_t queued_count = 0;
    uint64_t next_expiry_us = 0;
    // What the relay sends on in runs is read a run to a buffer.
    client::Link::CoalescedSlot relay_slots[RELAY_SLOTS];
    bool announced = false;
    bool lost = false;  // the relay lost the room or stopped answering; asking for it again
    uint64_t last_untabled_who_us = 0;  // a who to a tag with no entry (see ask_who)
    RoomId room;
};

void close_socket(Forwarder& forwarder, uint16_t index) {
    ForwardTable::Socket& entry = forwarder.table.socket(index);
    // What is gathered for it goes first: a descriptor number may be reused at once.
    forwarder.to_application.flush();
    if (entry.fd >= 0) close(entry.fd);  // closing also takes it out of the epoll set
    entry.fd = -1;
}

void close_all(Forwarder& forwarder) {
    forwarder.table.clear([&](uint16_t index) { close_socket(forwarder, index); });
    for (tunnel::Reassembly& set : forwarder.pieces)
        set.clear();
}

// Opens the application's socket for a table entry; false (the entry freed) if it cannot.
bool open_socket(Forwarder& forwarder, uint16_t index, uint64_t now_us) {
    ForwardTable::Socket& entry = forwarder.table.socket(index);
    const ForwardTable::Client& owner = forwarder.table.client(entry.client);
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
        forwarder.table.release(index);
        forwarder.events.note(now_us, NO_ENTRY, text);
        return false;
    }
    enlarge_buffers(fd);
    entry.fd = fd;
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
    forwarder.events.note(now_us, OPENED, text);
    return true;
}

// Hands a whole datagram from a client's channel to the application.
void deliver(Forwarder& forwarder, uint16_t client, uint16_t channel, uint16_t generation,
             const uint8_t* data, size_t length, uint64_t now_us) {
    ForwardTable::Assignment assignment =
        forwarder.table.assign(client, channel, generation, now_us);
    switch (assignment.verdict) {
        case ForwardTable::Verdict::existing:
            break;
        case ForwardTable::Verdict::replaced:
            forwarder.to_application.flush();
            if (assignment.old_fd >= 0) close(assignment.old_fd);
            if (!open_socket(forwarder, assignment.socket, now_us)) return;
            break;
        case ForwardTable::Verdict::opened:
            if (!open_socket(forwarder, assignment.socket, now_us)) return;
            break;
        case ForwardTable::Verdict::stale:
            return;
        case ForwardTable::Verdict::full: {
            char text[120];
            snprintf(text, sizeof text, "dropped a datagram from tag %u: all %d sockets in use",
                     forwarder.table.client(client).tag.value, ForwardTable::SOCKETS);
            forwarder.events.note(now_us, NO_ENTRY, text);
            return;
        }
    }
    forwarder.to_application.add(forwarder.table.socket(assignment.socket).fd, nullptr, 0, data,
                                 length);
}

void send_welcome(Forwarder& forwarder, Tag tag, uint64_t identity, uint16_t binding) {
    uint8_t welcome[tunnel::WELCOME_SIZE];
    tunnel::write_welcome(welcome, identity, binding);
    (void)forwarder.host.send(tag, welcome, sizeof welcome,
                              client::monotonic_us());  // a lost one is asked again
}

// Asks `tag` to say hello, at most once every WHO_RETRY_US for a client entry (`client`),
// and as often for all tags without one together, so that no member can make the host send
// more than a few a second. A kiv join answers with its hello; anyone else ignores it.
void ask_who(Forwarder& forwarder, Tag tag, uint16_t client, uint64_t now_us) {
    uint64_t& last_us = client != ForwardTable::NONE ? forwarder.table.client(client).last_who_us
                                                     : forwarder.last_untabled_who_us;
    if (last_us != 0 && now_us - last_us < WHO_RETRY_US) return;
    last_us = now_us;
    if (client != ForwardTable::NONE) ++forwarder.table.client(client).whos;
    uint8_t who[tunnel::HELLO_SIZE];
    tunnel::write_hello(who, FrameKind::who, 0);
    (void)forwarder.host.send(tag, who, sizeof who, now_us);
    char text[96];
    snprintf(text, sizeof text, "asked tag %u who it is", tag.value);
    forwarder.events.note(now_us, ASKED, text);
}

bool has_kiv_client(const ForwardTable& table) {
    for (uint16_t index = 0; index < ForwardTable::CLIENTS; ++index) {
        if (table.client(index).in_use && table.client(index).kiv) return true;
    }
    return false;
}

void from_relay(Forwarder& forwarder, const client::Event& event, uint64_t now_us) {
    Tag tag = event.tag;
    ForwardTable& table = forwarder.table;
    char text[160];
    if (tunnel::is_hello(event.payload, event.length)) {
        Frame hello = tunnel::parse_frame(event.payload, event.length);
        uint16_t before = table.client_by_tag(tag);
        bool was_kiv = before != ForwardTable::NONE && table.client(before).kiv;
        uint16_t client = table.hello(tag, hello.identity, now_us,
                                      [&](uint16_t index) { close_socket(forwarder, index); });
        if (client == ForwardTable::NONE) {
            snprintf(text, sizeof text, "dropped a hello from tag %u: all %d client entries in use",
                     tag.value, ForwardTable::CLIENTS);
            forwarder.events.note(now_us, NO_ENTRY, text);
            return;
        }
        if (client != before) forwarder.pieces[client].clear();
        send_welcome(forwarder, tag, hello.identity, table.client(client).binding);
        if (!was_kiv) {
            // A join that comes back under a new tag keeps its sockets: the application
            // sees the same peers as before.
            uint16_t sockets = table.client(client).sockets;
            if (sockets > 0) {
                snprintf(text, sizeof text,
                         "tag %u is a kiv join heard from before; its %u socket(s) stay", tag.value,
                         sockets);
            } else {
                snprintf(text, sizeof text, "tag %u is a kiv join", tag.value);
            }
            forwarder.events.note(now_us, OPENED, text);
        }
        return;
    }
    uint16_t client = table.client_by_tag(tag);
    // An empty datagram is a client keeping its place in the room: nothing to deliver, and
    // no reason to take an entry for it. From a tag not known, beside kiv joins, it may be
    // one of them that took up a tag again after a relay restart: it is asked.
    if (event.length == 0) {
        if (client != ForwardTable::NONE) {
            table.client(client).last_us = now_us;
        } else if (has_kiv_client(table)) {
            ask_who(forwarder, tag, ForwardTable::NONE, now_us);
        }
        return;
    }
    Frame frame = tunnel::parse_frame(event.payload, event.length);
    bool framed = frame.kind == FrameKind::whole || frame.kind == FrameKind::piece;
    if (client == ForwardTable::NONE) {
        client = table.add_client(tag, now_us);
        if (client == ForwardTable::NONE) {
            snprintf(text, sizeof text,
                     "dropped a datagram from tag %u: all %d client entries in use", tag.value,
                     ForwardTable::CLIENTS);
            forwarder.events.note(now_us, NO_ENTRY, text);
            return;
        }
        forwarder.pieces[client].clear();
        table.client(client).undecided = framed;
    }
    ForwardTable::Client& owner = table.client(client);
    owner.last_us = now_us;
    if (owner.undecided) {
        // Frames before a hello: a join that does not know the relay gave it this tag anew.
        // Its frames wait for its hello (lost, as the network could lose them). A join sends
        // nothing else, so a datagram that is no frame shows the tag plain at once, as does
        // a tag that does not answer WHO_TRIES whos.
        if (framed && (owner.whos < WHO_TRIES || now_us - owner.last_who_us < WHO_RETRY_US)) {
            ask_who(forwarder, tag, client, now_us);
            return;
        }
        owner.undecided = false;
    }
    if (!owner.kiv) {
        deliver(forwarder, client, 0, 0, event.payload, event.length, now_us);
        return;
    }
    // A frame not of the hello this tag was bound with: another join holds the tag now.
    if (framed && frame.binding != owner.binding) {
        ask_who(forwarder, tag, client, now_us);
        return;
    }
    tunnel::Reassembly::Whole whole{};
    switch (frame.kind) {
        case FrameKind::whole:
            deliver(forwarder, client, frame.channel, frame.generation, frame.data, frame.length,
                    now_us);
            break;
        case FrameKind::piece:
            if (forwarder.pieces[client].add(frame, now_us, &whole)) {
                deliver(forwarder, client, whole.channel, whole.generation, whole.data,
                        whole.length, now_us);
            }
            break;
        case FrameKind::invalid:
        case FrameKind::hello:  // read before the frames, above
        case FrameKind::welcome:
        case FrameKind::who:
        default:
            snprintf(text, sizeof text, "dropped a malformed frame of %zu bytes from tag %u",
                     event.length, tag.value);
            forwarder.events.note(now_us, MALFORMED, text);
            break;
    }
}

void flush_frames(Forwarder& forwarder, Tag tag) {
    if (forwarder.queued_count == 0) return;
    (void)forwarder.host.send_batch(tag, forwarder.queued, forwarder.queued_count,
                                    client::monotonic_us());
    forwarder.queued_count = 0;
}

uint8_t* next_frame(Forwarder& forwarder, Tag tag) {
    if (forwarder.queued_count == client::SEND_BATCH) flush_frames(forwarder, tag);
    return forwarder.frames[forwarder.queued_count];
}

void queue_frame(Forwarder& forwarder, size_t length) {
    size_t index = forwarder.queued_count++;
    forwarder.queued[index] = {forwarder.frames[index], length};
}

void from_application(Forwarder& forwarder, uint16_t index, uint64_t now_us) {
    ForwardTable& table = forwarder.table;
    for (int round = 0; round < BATCHES_PER_WAKE; ++round) {
        ForwardTable::Socket& entry = table.socket(index);
        if (entry.fd < 0) return;
        int count = forwarder.batch.fill(entry.fd);
        ForwardTable::Client& owner = table.client(entry.client);
        Tag tag = owner.tag;
        for (int i = 0; i < count; ++i) {
            size_t length = forwarder.batch.length(i);
            const uint8_t* data = forwarder.batch.payload(i);
            table.touch(index, now_us);
            if (!owner.kiv) {
                if (length > client::MAX_PAYLOAD) {
                    char source[64];
                    snprintf(source, sizeof source, "for tag %u", tag.value);
                    forwarder.oversize.count(now_us, length, source);
                    continue;
                }
                if (length == 0) continue;  // would reach the client as a keep-alive only
                memcpy(next_frame(forwarder, tag), data, length);
                queue_frame(forwarder, length);
                continue;
            }
            if (length > tunnel::MAX_APP_DATAGRAM) continue;  // cannot be sent over IPv4
            size_t frames = tunnel::frames_for(length);
            if (frames == 1) {
                uint8_t* out = next_frame(forwarder, tag);
                queue_frame(forwarder, tunnel::write_whole(out, entry.channel, entry.generation,
                                                           owner.binding, data, length));
                continue;
            }
            uint32_t datagram = owner.next_datagram++;
            for (size_t piece = 0; piece < frames; ++piece) {
                uint8_t* out = next_frame(forwarder, tag);
                queue_frame(forwarder,
                            tunnel::write_piece(out, entry.channel, entry.generation, owner.binding,
                                                datagram, data, length, piece));
            }
        }
        flush_frames(forwarder, tag);
        if (count < ReceiveBatch::SIZE) return;
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
            case client::EventKind::opened:
                if (!forwarder.announced) {
                    printf("room %s (id %u)\n", room_code(event.room), event.room.value);
                    fflush(stdout);
                    fprintf(stderr,
                            "kiv host: clients join with: kiv join %s %s --listen ADDR:PORT\n",
                            forwarder.relay_text, room_code(event.room));
                    forwarder.announced = true;
                } else if (event.room == forwarder.room) {
                    // The same room again: its clients come back to the same sockets, a
                    // kiv join by its identity.
                    if (forwarder.lost) {
                        fprintf(stderr, "kiv host: regained the relay at %s; room %s is open\n",
                                forwarder.relay_text, room_code(event.room));
                    }
                } else {
                    // The relay lost the room (a restart) and gave another: the tags of the
                    // old one mean nothing any more.
                    fprintf(
                        stderr,
                        "kiv host: the relay gave a new room %s (id %u); clients must join it\n",
                        room_code(event.room), event.room.value);
                    close_all(forwarder);
                }
                forwarder.lost = false;
                forwarder.room = event.room;
                break;
            case client::EventKind::lost:
                fprintf(stderr, "kiv host: lost the relay at %s (%s); asking for room %s again\n",
                        forwarder.relay_text, client::error_text(event.error),
                        room_code(forwarder.room));
                forwarder.lost = true;
                // The relay's tags are gone with it: each client is known again when it
                // speaks, a kiv join by its hello, to the same sockets.
                forwarder.table.forget_tags();
                break;
            case client::EventKind::data:
                from_relay(forwarder, event, now_us);
                break;
            case client::EventKind::refused:
                fprintf(stderr, "kiv host: relay %s refused: %s\n", forwarder.relay_text,
                        client::error_text(event.error));
                return EXIT_FAILED;
            case client::EventKind::timed_out:
                fprintf(stderr, "kiv host: no answer from the relay at %s%s\n",
                        forwarder.relay_text, forwarder.announced ? " (the room may be lost)" : "");
                return EXIT_FAILED;
            // A tag's socket is opened by its first datagram and closed by its own silence
            // (expire_quiet), so the roster's news changes nothing here.
            case client::EventKind::client_joined:
            case client::EventKind::client_left:
            case client::EventKind::joined:
            case client::EventKind::pong:
            default:
                break;
        }
    }
}

int expire_quiet(Forwarder& forwarder, uint64_t now_us) {
    if (now_us >= forwarder.next_expiry_us) {
        forwarder.next_expiry_us = forwarder.table.expire(
            now_us,
            [&](uint16_t index) {
                const ForwardTable::Socket& entry = forwarder.table.socket(index);
                char text[96];
                snprintf(text, sizeof text, "tag %u silent for 60 s; its socket is closed",
                         forwarder.table.client(entry.client).tag.value);
                forwarder.events.note(now_us, CLOSED, text);
                close_socket(forwarder, index);
            },
            [&](uint16_t client) { forwarder.pieces[client].clear(); });
    }
    // Entries made since are not in the time found; a look every second covers them.
    if (forwarder.next_expiry_us > now_us + REPORT_INTERVAL_US) {
        forwarder.next_expiry_us = now_us + REPORT_INTERVAL_US;
    }
    return client::wait_ms_until(now_us, forwarder.next_expiry_us);
}

int forward(Forwarder& forwarder) {
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
        int timeout_ms = expire_quiet(forwarder, now_us);
        timeout_ms = sooner_ms(timeout_ms, forwarder.host.wait_ms(now_us));
        timeout_ms = sooner_ms(timeout_ms, forwarder.events.wait_ms(now_us));
        int count = wait_events(forwarder.epoll_fd, ready, WAKE_EVENTS, timeout_ms);
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
            uint16_t index = uint16_t(which - 1);
            if (forwarder.table.socket(index).client == ForwardTable::NONE) continue;
            from_application(forwarder, index, now_us);
        }
        if (!relay_due) relay_due = forwarder.host.wait_ms(client::monotonic_us()) == 0;
    }
}

Forwarder forwarder_state;

}  // namespace

int run_forward(const Peer& relay, RoomId requested_room, const Peer& forward_to,
                const uint8_t* open_token, size_t open_token_length) {
    Forwarder& forwarder = forwarder_state;
    forwarder.target = forward_to;
    snprintf(forwarder.relay_text, sizeof forwarder.relay_text, "%s", addr_str(relay));
    snprintf(forwarder.target_text, sizeof forwarder.target_text, "%s", addr_str(forward_to));
    raise_descriptor_limit();
    forwarder.table.start_bindings(uint16_t(client::unpredictable_start()));
    client::Host& host = forwarder.host;
    if (open_token != nullptr) (void)host.set_open_token(open_token, open_token_length);
    forwarder.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (forwarder.epoll_fd < 0 || host.connect(relay) != client::Error::none ||
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
