// kiv join --listen: binds a local address, and each local application that sends there
// joins the room as a client of its own, with its own socket towards the relay; what the
// host sends that client goes back to that application.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "addr_text.hpp"
#include "cli.hpp"
#include "commands.hpp"
#include "kiv_client.hpp"
#include "room_code.hpp"
#include "tunnel.hpp"

namespace kiv::cli {
namespace {

// A room has places for MAX_CLIENTS, so no more local senders than that can be in it.
constexpr int SENDER_SLOTS = MAX_CLIENTS;
constexpr int BATCHES_PER_WAKE = 8;

struct LocalSender {
    bool in_use = false;
    Peer source;
    // Engaged while the sender holds a place in the room; constructed in place, so taking a
    // place allocates nothing but the socket.
    std::optional<client::Client> client;
    uint64_t last_heard_us = 0;
    char source_text[Peer::TEXT_CAPACITY] = {};
};

struct Listener {
    int fd = -1;
    Peer relay;
    RoomId room_id;
    char relay_text[Peer::TEXT_CAPACITY] = {};
    char room_text[CODE_LENGTH + 1] = {};
    std::array<LocalSender, SENDER_SLOTS> senders{};
    ReceiveBatch batch;
    DropReport oversized{"kiv join", "over 1400 bytes not sent"};
    DropReport crowded{"kiv join", "from more local senders than the room's 8 places dropped"};
};

void forget(LocalSender& sender, const char* why) {
    if (sender.client) {
        (void)sender.client->leave();
        fprintf(stderr, "kiv join: local sender %s left the room (%s)\n", sender.source_text, why);
    }
    sender.client.reset();
    sender.in_use = false;
}

// The sender a datagram from `source` belongs to, given a place in the room on its first
// datagram; nullptr when every place is taken.
LocalSender* sender_for(Listener& listener, const Peer& source, uint64_t now_us) {
    LocalSender* free_slot = nullptr;
    for (LocalSender& sender : listener.senders) {
        if (sender.in_use && sender.source == source) return &sender;
        if (!sender.in_use && free_slot == nullptr) free_slot = &sender;
    }
    if (free_slot == nullptr) {
        char detail[48];
        snprintf(detail, sizeof detail, " (last from %s)", addr_str(source));
        listener.crowded.count(now_us, detail);
        return nullptr;
    }
    LocalSender& sender = *free_slot;
    sender.in_use = true;
    sender.source = source;
    sender.last_heard_us = now_us;
    snprintf(sender.source_text, sizeof sender.source_text, "%s", addr_str(source));
    client::Client& joiner = sender.client.emplace();
    if (joiner.connect(listener.relay) != client::Error::none ||
        joiner.join(listener.room_id, now_us) != client::Error::none) {
        // Kept in use without a place, so that a sender the system cannot serve costs one
        // line a minute, not one per datagram.
        fprintf(stderr, "kiv join: local sender %s: socket: %s\n", sender.source_text,
                strerror(joiner.system_errno()));
        sender.client.reset();
        return &sender;
    }
    enlarge_buffers(joiner.fd());
    fprintf(stderr, "kiv join: local sender %s heard from; joining room %s\n", sender.source_text,
            listener.room_text);
    return &sender;
}

void from_application(Listener& listener, uint64_t now_us) {
    for (int round = 0; round < BATCHES_PER_WAKE; ++round) {
        int count = listener.batch.fill(listener.fd);
        // Each sender's datagrams of this batch, in their order, go out with one call.
        iovec payloads[SENDER_SLOTS][ReceiveBatch::SIZE];
        size_t carried[SENDER_SLOTS] = {};
        for (int i = 0; i < count; ++i) {
            LocalSender* sender = sender_for(listener, listener.batch.source(i), now_us);
            if (sender == nullptr) continue;
            sender->last_heard_us = now_us;
            if (listener.batch.oversized(i)) {
                listener.oversized.count(now_us);
                continue;
            }
            size_t length = listener.batch.length(i);
            // An empty datagram would reach the host as a keep-alive only; the library
            // sends those itself.
            if (!sender->client || length == 0) continue;
            size_t slot = size_t(sender - listener.senders.data());
            payloads[slot][carried[slot]++] = {const_cast<uint8_t*>(listener.batch.payload(i)),
                                               length};
        }
        for (size_t slot = 0; slot < SENDER_SLOTS; ++slot) {
            LocalSender& sender = listener.senders[slot];
            if (carried[slot] > 0 && sender.client) {
                (void)sender.client->send_batch(payloads[slot], carried[slot], now_us);
            }
        }
        if (count < ReceiveBatch::SIZE) return;
    }
}

// Handles what the relay sent one sender and its timers. Returns an exit status, or -1 to
// go on.
int relay_events(Listener& listener, LocalSender& sender) {
    while (sender.client) {
        client::Event event = sender.client->next_event(client::monotonic_us());
        switch (event.kind) {
            case client::EventKind::none:
                return -1;
            case client::EventKind::joined:
                fprintf(stderr, "kiv join: local sender %s joined room %s (id %u) on %s\n",
                        sender.source_text, listener.room_text, listener.room_id.value,
                        listener.relay_text);
                break;
            case client::EventKind::data:
                // A full local socket loses the datagram, as the network could.
                if (event.length > 0) {
                    (void)sendto(listener.fd, event.payload, event.length, 0, sender.source.name(),
                                 sender.source.name_length());
                }
                break;
            case client::EventKind::refused:
                fprintf(stderr, "kiv join: room %s (id %u) on %s refused local sender %s: %s\n",
                        listener.room_text, listener.room_id.value, listener.relay_text,
                        sender.source_text, client::error_text(event.error));
                // A full room may have a place later; without the room or the relay's
                // protocol there is nothing left to do.
                if (event.error != client::Error::room_full) return EXIT_FAILED;
                fprintf(stderr, "kiv join: its datagrams are dropped until it is quiet for 60 s\n");
                sender.client.reset();
                return -1;
            case client::EventKind::timed_out:
                fprintf(stderr, "kiv join: no answer from the relay at %s\n", listener.relay_text);
                return EXIT_FAILED;
            case client::EventKind::lost:
                fprintf(stderr,
                        "kiv join: local sender %s: lost the relay at %s (%s); re-joining\n",
                        sender.source_text, listener.relay_text, client::error_text(event.error));
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

int listen_loop(Listener& listener) {
    std::array<pollfd, 1 + SENDER_SLOTS> waiting{};
    for (;;) {
        uint64_t now_us = client::monotonic_us();
        int timeout_ms = -1;
        int count = 0;
        waiting[count++] = {listener.fd, POLLIN, 0};
        for (LocalSender& sender : listener.senders) {
            if (sender.in_use && now_us - sender.last_heard_us >= TUNNEL_IDLE_US) {
                forget(sender, "quiet for 60 s");
            }
            if (!sender.in_use) continue;
            timeout_ms = sooner_ms(
                timeout_ms, client::wait_ms_until(now_us, sender.last_heard_us + TUNNEL_IDLE_US));
            waiting[count++] = {sender.client ? sender.client->fd() : -1, POLLIN, 0};
            if (sender.client) timeout_ms = sooner_ms(timeout_ms, sender.client->wait_ms(now_us));
        }
        listener.oversized.flush(now_us);
        listener.crowded.flush(now_us);
        timeout_ms = sooner_ms(timeout_ms, listener.oversized.wait_ms(now_us));
        timeout_ms = sooner_ms(timeout_ms, listener.crowded.wait_ms(now_us));
        if (!wait_readable(waiting.data(), count, timeout_ms)) return 0;

        // Each sender's own socket first: what the host sent it, and its timers.
        for (LocalSender& sender : listener.senders) {
            if (!sender.in_use) continue;
            if (int status = relay_events(listener, sender); status >= 0) return status;
        }
        if (waiting[0].revents != 0) from_application(listener, client::monotonic_us());
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
    int status = listen_loop(listener);
    for (LocalSender& sender : listener.senders) {
        if (sender.in_use) forget(sender, "stopping");
    }
    close(listener.fd);
    return status;
}

}  // namespace kiv::cli
