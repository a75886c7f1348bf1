// Who kiv host --forward hands a datagram to: the room's clients it has heard from, and the
// sockets towards the application, one for each plain client and one for each local sender
// of a kiv join (its channel). The rules are kept here, apart from the sockets:
// - a client is known by its tag, and a kiv join also by the identity of its hello, so that
//   a join that comes back under a new tag keeps its sockets and the application sees the
//   same peers;
// - a socket belongs to one client for as long as that client has sent or received within
//   CLIENT_GIVE_WAY_US: it is never given to another tag then; when no entry is free, the
//   quietest client quiet for longer gives its entry and sockets to a newcomer (give_way),
//   and when none is, the newcomer's datagrams are dropped;
// - a kiv join says when one of its channels has a new local sender (a newer generation):
//   that channel's socket is then replaced by a fresh one;
// - each hello that binds a tag to a join gets a binding number of its own, which the join's
//   frames must carry (tunnel_frame.hpp); a tag another join takes up after a relay restart
//   never gets the first join's sockets.
// Sizes are fixed, so whatever the room sends, the memory and the descriptors are bounded.
#pragma once

#include <array>
#include <cassert>
#include <cstdint>

#include "tunnel/rules.hpp"
#include "tunnel/tunnel_frame.hpp"
#include "wire/values.hpp"

namespace kiv::tunnel {

class ForwardTable {
  public:
    // Clients remembered at once: a room has MAX_CLIENTS, and a client that left is only
    // forgotten after TUNNEL_IDLE_US, so room for churn is kept.
    static constexpr int CLIENTS = 32;
    static constexpr int SOCKETS = 4096;
    static constexpr uint16_t NONE = 0xFFFF;

    struct Client {
        bool in_use = false;
        bool kiv = false;  // said hello: its datagrams are frames
        Tag tag;
        uint64_t identity = 0;
        uint64_t last_us = 0;        // the last datagram either way
        uint32_t next_datagram = 0;  // numbers the datagrams cut into pieces towards it
        uint16_t sockets = 0;
        uint16_t binding = 0;  // kiv: the number its frames carry, from its latest welcome
        // Sent frames but no hello (a join that took up a tag after a restart, or a plain
        // client whose datagrams look like frames): asked for a hello before it is taken
        // for plain, which its first datagram that is no frame settles at once.
        bool undecided = false;
        uint8_t whos = 0;
        uint64_t last_who_us = 0;
    };
    struct Socket {
        uint16_t client = NONE;  // NONE: free
        uint16_t channel = 0;
        uint16_t generation = 0;
        uint64_t last_us = 0;
    };

    enum class Verdict : uint8_t {
        existing,  // the channel's socket
        opened,    // a new entry: the shell opens its socket
        replaced,  // a newer sender on the channel: the shell closes its socket, opens another
        stale,     // an older generation than the channel's: drop
        full,      // no socket free: drop
    };
    struct Assignment {
        Verdict verdict;
        uint16_t socket;
    };

    // The client with this tag, or NONE.
    uint16_t client_by_tag(Tag tag) const;
    // A new client for a tag not yet known; NONE when every entry is in use.
    uint16_t add_client(Tag tag, uint64_t now_us);
    // The client that gives its entry to a newcomer when none is free: the quietest of those
    // quiet for CLIENT_GIVE_WAY_US, or NONE.
    uint16_t quietest_client(uint64_t now_us) const;
    // Frees a client's entry, calling on_close(socket) for each of its sockets first.
    template <typename OnClose>
    void remove_client(uint16_t client, OnClose on_close);
    // A hello from `tag`: the client with this identity takes the tag, or the tag's own
    // client becomes a kiv join, or a new client is added. A plain client that held the tag
    // is forgotten (`on_close(socket)` called for each of its sockets); another kiv join
    // that held it keeps its sockets, without a tag until its own hello. A client that
    // takes a tag gets a new binding. NONE when no entry is free.
    template <typename OnClose>
    uint16_t hello(Tag tag, uint64_t identity, uint64_t now_us, OnClose on_close);

    // The socket for a client's channel (0 for a plain client).
    Assignment assign(uint16_t client, uint16_t channel, uint16_t generation, uint64_t now_us);
    // The shell could not open the socket assign() asked for: the entry is free again.
    void release(uint16_t socket);
    // Either way, the client and the socket were heard from or written to.
    void touch(uint16_t socket, uint64_t now_us);

    // Forgets sockets and clients quiet for TUNNEL_IDLE_US: `on_close(socket)` is called for
    // each socket before its entry is freed, `on_forget(client)` for each client. Returns
    // the time of the next expiry, or UINT64_MAX; now_us when it stopped after `most`
    // sockets with more to close.
    template <typename OnClose, typename OnForget>
    uint64_t expire(uint64_t now_us, int most, OnClose on_close, OnForget on_forget);
    // The relay forgot every tag (it restarted): no client has one until it speaks again,
    // a kiv join keeping its sockets for its next hello.
    void forget_tags();
    // Where binding numbers start, so that they differ from one run of the host to the next.
    void start_bindings(uint16_t first) { next_binding_ = first; }
    // Frees every entry, calling on_close for each open socket.
    template <typename OnClose>
    void clear(OnClose on_close);

    const Client& client(uint16_t index) const { return clients_[index]; }
    Client& client(uint16_t index) { return clients_[index]; }
    const Socket& socket(uint16_t index) const { return sockets_[index]; }
    Socket& socket(uint16_t index) { return sockets_[index]; }
    int open_sockets() const { return open_sockets_; }
    // The counts agree with the entries, each socket's client is in use and knows it, no two
    // clients share a tag or a bound identity. For tests and the fuzzer: it reads everything.
    bool consistent() const;

  private:
    void free_socket(uint16_t index);
    void forget_client(uint16_t index);
    template <typename OnClose>
    void close_sockets(uint16_t client, OnClose on_close);
    void bind(uint16_t client, Tag tag, uint64_t now_us);

    std::array<Client, CLIENTS> clients_{};
    std::array<Socket, SOCKETS> sockets_{};
    // Each client's socket by channel, NONE when it has none.
    std::array<std::array<uint16_t, CHANNELS>, CLIENTS> by_channel_;
    uint16_t free_hint_ = 0;
    uint16_t next_binding_ = 1;
    int open_sockets_ = 0;

  public:
    ForwardTable() {
        for (auto& channels : by_channel_)
            channels.fill(NONE);
    }
};

template <typename OnClose>
void ForwardTable::close_sockets(uint16_t client, OnClose on_close) {
    for (uint16_t channel = 0; channel < CHANNELS; ++channel) {
        uint16_t socket = by_channel_[client][channel];
        if (socket == NONE) continue;
        on_close(socket);
        free_socket(socket);
    }
}

template <typename OnClose>
void ForwardTable::remove_client(uint16_t client, OnClose on_close) {
    assert(clients_[client].in_use);
    close_sockets(client, on_close);
    forget_client(client);
}

template <typename OnClose>
uint16_t ForwardTable::hello(Tag tag, uint64_t identity, uint64_t now_us, OnClose on_close) {
    uint16_t own = client_by_tag(tag);
    uint16_t known = NONE;
    for (uint16_t index = 0; index < CLIENTS; ++index) {
        if (clients_[index].in_use && clients_[index].kiv && clients_[index].identity == identity) {
            known = index;
            break;
        }
    }
    if (own != NONE && own != known) {
        if (clients_[own].kiv) {
            clients_[own].tag = Tag();  // another join's sockets stay its own
        } else if (known != NONE) {
            // What this tag was before its hello (a datagram that overtook it) is dropped.
            remove_client(own, on_close);
        } else {
            known = own;  // the tag's own client says it is a join
        }
        own = NONE;
    }
    if (known == NONE) known = own != NONE ? own : add_client(tag, now_us);
    if (known == NONE) return NONE;
    Client& client = clients_[known];
    bool rebound = !client.kiv || client.tag != tag || client.binding == 0;
    client.kiv = true;
    client.identity = identity;
    client.undecided = false;
    if (rebound) bind(known, tag, now_us);
    client.last_us = now_us;
    return known;
}

template <typename OnClose, typename OnForget>
uint64_t ForwardTable::expire(uint64_t now_us, int most, OnClose on_close, OnForget on_forget) {
    uint64_t next_us = UINT64_MAX;
    int closed = 0;
    for (uint16_t index = 0; index < SOCKETS; ++index) {
        Socket& entry = sockets_[index];
        if (entry.client == NONE) continue;
        if (now_us - entry.last_us >= TUNNEL_IDLE_US) {
            if (closed++ == most) return now_us;
            on_close(index);
            free_socket(index);
        } else if (entry.last_us + TUNNEL_IDLE_US < next_us) {
            next_us = entry.last_us + TUNNEL_IDLE_US;
        }
    }
    for (uint16_t index = 0; index < CLIENTS; ++index) {
        Client& entry = clients_[index];
        if (!entry.in_use) continue;
        if (now_us - entry.last_us >= TUNNEL_IDLE_US && entry.sockets == 0) {
            on_forget(index);
            clients_[index] = Client{};
        } else if (entry.last_us + TUNNEL_IDLE_US < next_us) {
            next_us = entry.last_us + TUNNEL_IDLE_US;
        }
    }
    return next_us;
}

template <typename OnClose>
void ForwardTable::clear(OnClose on_close) {
    for (uint16_t index = 0; index < SOCKETS; ++index) {
        if (sockets_[index].client == NONE) continue;
        on_close(index);
        free_socket(index);
    }
    for (Client& entry : clients_)
        entry = Client{};
}

}  // namespace kiv::tunnel
