// kiv host --forward: opens a room and gives each of its clients a UDP socket of its own,
// connected to a local application, so that the application sees every client of the room
// as a peer and answers it the way it answers anyone.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "addr_text.hpp"
#include "cli.hpp"
#include "commands.hpp"
#include "kiv_client.hpp"
#include "room_code.hpp"
#include "tunnel.hpp"

namespace kiv::cli {
namespace {

// The relay may have forgotten a silent client and given its place to a new one before this
// side's own minute is up, so a room's clients can briefly number more than MAX_CLIENTS
// here; when every slot is taken, the one quiet longest gives way.
constexpr int TAG_SLOTS = 2 * MAX_CLIENTS;
// Sockets read per wake-up before the others get their turn.
constexpr int BATCHES_PER_WAKE = 8;

struct TagSocket {
    Tag tag;  // no tag: free
    int fd = -1;
    uint64_t last_us = 0;  // the last datagram either way
};

struct Forwarder {
    client::Host host;
    Peer target;
    char relay_text[Peer::TEXT_CAPACITY] = {};
    char target_text[Peer::TEXT_CAPACITY] = {};
    std::array<TagSocket, TAG_SLOTS> tags{};
    ReceiveBatch batch;
    DropReport oversized{"kiv host", "over 1400 bytes not sent"};
    DropReport unforwarded{"kiv host", "from clients without a local socket dropped"};
    bool announced = false;
    bool lost = false;  // the relay lost the room or stopped answering; asking for it again
    RoomId room;
};

void close_tag(TagSocket& slot, const char* why) {
    fprintf(stderr, "kiv host: tag %u %s; its socket is closed\n", slot.tag.value, why);
    close(slot.fd);
    slot = TagSocket{};
}

void close_all(Forwarder& forwarder) {
    for (TagSocket& slot : forwarder.tags) {
        if (slot.tag.value != 0) close(slot.fd);
        slot = TagSocket{};
    }
}

// The socket for `tag`, opened on its first datagram; nullptr if none can be opened.
TagSocket* tag_socket(Forwarder& forwarder, Tag tag, uint64_t now_us) {
    TagSocket* free_slot = nullptr;
    TagSocket* quietest = nullptr;
    for (TagSocket& slot : forwarder.tags) {
        if (slot.tag == tag) return &slot;
        if (slot.tag.value == 0) {
            if (free_slot == nullptr) free_slot = &slot;
        } else if (quietest == nullptr || slot.last_us < quietest->last_us) {
            quietest = &slot;
        }
    }
    if (free_slot == nullptr) {
        close_tag(*quietest, "gives way to a newer client");
        free_slot = quietest;
    }
    const Peer& target = forwarder.target;
    int fd = socket(target.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, target.name(), target.name_length()) != 0) {
        char detail[64];
        snprintf(detail, sizeof detail, " (last for tag %u: %s)", tag.value, strerror(errno));
        if (fd >= 0) close(fd);
        forwarder.unforwarded.count(now_us, detail);
        return nullptr;
    }
    enlarge_buffers(fd);
    Peer local;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    getsockname(fd, local.receive_name(), &length);
    fprintf(stderr, "kiv host: tag %u heard from; %s sees it as %s\n", tag.value,
            forwarder.target_text, addr_str(local));
    *free_slot = {tag, fd, now_us};
    return free_slot;
}

void from_relay(Forwarder& forwarder, const client::Event& event, uint64_t now_us) {
    TagSocket* slot = tag_socket(forwarder, event.tag, now_us);
    if (slot == nullptr) return;
    slot->last_us = now_us;
    // An empty datagram is the client keeping its place in the room, nothing to deliver.
    if (event.length == 0) return;
    // A full or refusing local socket loses the datagram, as the network could.
    (void)send(slot->fd, event.payload, event.length, 0);
}

void from_application(Forwarder& forwarder, TagSocket& slot, uint64_t now_us) {
    for (int round = 0; round < BATCHES_PER_WAKE; ++round) {
        int count = forwarder.batch.fill(slot.fd);
        iovec payloads[ReceiveBatch::SIZE];
        size_t carried = 0;
        for (int i = 0; i < count; ++i) {
            if (forwarder.batch.oversized(i)) {
                forwarder.oversized.count(now_us);
                continue;
            }
            slot.last_us = now_us;
            size_t length = forwarder.batch.length(i);
            if (length == 0) continue;  // would reach the client as a keep-alive only
            payloads[carried++] = {const_cast<uint8_t*>(forwarder.batch.payload(i)), length};
        }
        (void)forwarder.host.send_batch(slot.tag, payloads, carried, now_us);
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
                return -1;
            case client::EventKind::opened:
                if (!forwarder.announced) {
                    printf("room %s (id %u)\n", room_code(event.room), event.room.value);
                    fflush(stdout);
                    fprintf(stderr,
                            "kiv host: clients join with: kiv join %s %s --listen ADDR:PORT\n",
                            forwarder.relay_text, room_code(event.room));
                    forwarder.announced = true;
                } else if (forwarder.lost && event.room == forwarder.room) {
                    // The same room again: its clients come back to the same sockets.
                    fprintf(stderr, "kiv host: regained the relay at %s\n", forwarder.relay_text);
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
            case client::EventKind::lost:
                fprintf(stderr, "kiv host: lost the relay at %s (%s); asking for room %s again\n",
                        forwarder.relay_text, client::error_text(event.error),
                        room_code(forwarder.room));
                forwarder.lost = true;
                break;
            case client::EventKind::joined:
            case client::EventKind::pong:
            case client::EventKind::client_joined:
            case client::EventKind::client_left:
            default:
                break;
        }
    }
}

// Milliseconds until the first tag falls silent for good, -1 with no tag.
int expire_quiet_tags(Forwarder& forwarder, uint64_t now_us) {
    int wait = -1;
    for (TagSocket& slot : forwarder.tags) {
        if (slot.tag.value == 0) continue;
        if (now_us - slot.last_us >= TUNNEL_IDLE_US) {
            close_tag(slot, "silent for 60 s");
            continue;
        }
        wait = sooner_ms(wait, client::wait_ms_until(now_us, slot.last_us + TUNNEL_IDLE_US));
    }
    return wait;
}

int forward(Forwarder& forwarder) {
    std::array<pollfd, 1 + TAG_SLOTS> waiting{};
    std::array<TagSocket*, 1 + TAG_SLOTS> waiting_tag{};
    for (;;) {
        if (int status = relay_events(forwarder); status >= 0) return status;
        uint64_t now_us = client::monotonic_us();
        forwarder.oversized.flush(now_us);
        forwarder.unforwarded.flush(now_us);
        int timeout_ms = expire_quiet_tags(forwarder, now_us);
        timeout_ms = sooner_ms(timeout_ms, forwarder.host.wait_ms(now_us));
        timeout_ms = sooner_ms(timeout_ms, forwarder.oversized.wait_ms(now_us));
        timeout_ms = sooner_ms(timeout_ms, forwarder.unforwarded.wait_ms(now_us));

        int count = 0;
        waiting[count++] = {forwarder.host.fd(), POLLIN, 0};
        for (TagSocket& slot : forwarder.tags) {
            if (slot.tag.value == 0) continue;
            waiting_tag[count] = &slot;
            waiting[count++] = {slot.fd, POLLIN, 0};
        }
        if (!wait_readable(waiting.data(), count, timeout_ms)) return 0;
        now_us = client::monotonic_us();
        for (int i = 1; i < count; ++i) {
            if (waiting[i].revents != 0) from_application(forwarder, *waiting_tag[i], now_us);
        }
    }
}

Forwarder forwarder_state;

}  // namespace

int run_forward(const Peer& relay, RoomId requested_room, const Peer& forward_to) {
    Forwarder& forwarder = forwarder_state;
    forwarder.target = forward_to;
    snprintf(forwarder.relay_text, sizeof forwarder.relay_text, "%s", addr_str(relay));
    snprintf(forwarder.target_text, sizeof forwarder.target_text, "%s", addr_str(forward_to));
    client::Host& host = forwarder.host;
    if (host.connect(relay) != client::Error::none ||
        host.open(requested_room, client::monotonic_us()) != client::Error::none) {
        fprintf(stderr, "kiv host: socket: %s\n", strerror(host.system_errno()));
        return EXIT_FAILED;
    }
    enlarge_buffers(host.fd());
    catch_stop_signals();
    int status = forward(forwarder);
    if (status == 0 && host.close() == client::Error::none) {
        fprintf(stderr, "kiv host: room %s closed\n", room_code(host.room_id()));
    }
    close_all(forwarder);
    return status;
}

}  // namespace kiv::cli
