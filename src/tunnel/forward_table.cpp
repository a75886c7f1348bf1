#include "tunnel/forward_table.hpp"

#include <cassert>

namespace kiv::tunnel {

uint16_t ForwardTable::client_by_tag(Tag tag) const {
    if (!tag.valid()) return NONE;  // clients that lost their tag are known by no tag
    for (uint16_t index = 0; index < CLIENTS; ++index) {
        if (clients_[index].in_use && clients_[index].tag == tag) return index;
    }
    return NONE;
}

void ForwardTable::bind(uint16_t client, Tag tag, uint64_t now_us) {
    clients_[client].tag = tag;
    clients_[client].last_us = now_us;
    if (next_binding_ == NO_BINDING) ++next_binding_;
    clients_[client].binding = next_binding_++;
    assert(clients_[client].binding != NO_BINDING);
}

void ForwardTable::forget_client(uint16_t index) {
    clients_[index] = Client{};
}

void ForwardTable::forget_tags() {
    for (Client& client : clients_)
        client.tag = Tag();
}

uint16_t ForwardTable::add_client(Tag tag, uint64_t now_us) {
    for (uint16_t index = 0; index < CLIENTS; ++index) {
        if (clients_[index].in_use) continue;
        clients_[index] = Client{};
        clients_[index].in_use = true;
        clients_[index].tag = tag;
        clients_[index].last_us = now_us;
        return index;
    }
    return NONE;
}

uint16_t ForwardTable::quietest_client(uint64_t now_us) const {
    uint16_t quietest = NONE;
    for (uint16_t index = 0; index < CLIENTS; ++index) {
        const Client& entry = clients_[index];
        if (!entry.in_use || now_us - entry.last_us < CLIENT_GIVE_WAY_US) continue;
        if (quietest == NONE || entry.last_us < clients_[quietest].last_us) quietest = index;
    }
    return quietest;
}

ForwardTable::Assignment ForwardTable::assign(uint16_t client, uint16_t channel,
                                              uint16_t generation, uint64_t now_us) {
    assert(client < CLIENTS && clients_[client].in_use && channel < CHANNELS);
    uint16_t index = by_channel_[client][channel];
    if (index != NONE) {
        Socket& entry = sockets_[index];
        if (entry.generation == generation) {
            touch(index, now_us);
            return {Verdict::existing, index};
        }
        // Serial order, so that the join's generations may wrap: a datagram of the sender
        // that gave the channel up, arriving late, must not take it back.
        if (int16_t(uint16_t(generation - entry.generation)) < 0) {
            return {Verdict::stale, index};
        }
        entry.generation = generation;
        touch(index, now_us);
        return {Verdict::replaced, index};
    }
    for (int step = 0; step < SOCKETS; ++step) {
        uint16_t candidate = uint16_t((free_hint_ + step) % SOCKETS);
        if (sockets_[candidate].client != NONE) continue;
        free_hint_ = uint16_t((candidate + 1) % SOCKETS);
        sockets_[candidate] = {client, channel, generation, now_us};
        by_channel_[client][channel] = candidate;
        ++clients_[client].sockets;
        ++open_sockets_;
        touch(candidate, now_us);
        return {Verdict::opened, candidate};
    }
    return {Verdict::full, NONE};
}

void ForwardTable::release(uint16_t socket) {
    free_socket(socket);
}

void ForwardTable::touch(uint16_t socket, uint64_t now_us) {
    Socket& entry = sockets_[socket];
    entry.last_us = now_us;
    clients_[entry.client].last_us = now_us;
}

void ForwardTable::free_socket(uint16_t index) {
    Socket& entry = sockets_[index];
    assert(entry.client != NONE && clients_[entry.client].sockets > 0);
    by_channel_[entry.client][entry.channel] = NONE;
    --clients_[entry.client].sockets;
    --open_sockets_;
    entry = Socket{};
}

}  // namespace kiv::tunnel

namespace kiv::tunnel {

bool ForwardTable::consistent() const {
    int open = 0;
    std::array<uint16_t, CLIENTS> sockets_of{};
    for (uint16_t index = 0; index < SOCKETS; ++index) {
        const Socket& entry = sockets_[index];
        if (entry.client == NONE) continue;
        ++open;
        if (entry.client >= CLIENTS || !clients_[entry.client].in_use) return false;
        if (by_channel_[entry.client][entry.channel] != index) return false;
        ++sockets_of[entry.client];
    }
    if (open != open_sockets_) return false;
    for (uint16_t a = 0; a < CLIENTS; ++a) {
        const Client& one = clients_[a];
        if (one.sockets != sockets_of[a] || (!one.in_use && one.sockets != 0)) return false;
        if (one.kiv && one.tag.valid() && one.binding == NO_BINDING) return false;
        for (uint16_t b = uint16_t(a + 1); one.in_use && b < CLIENTS; ++b) {
            const Client& other = clients_[b];
            if (!other.in_use) continue;
            if (one.tag.valid() && one.tag == other.tag) return false;
            if (one.kiv && other.kiv && one.identity == other.identity) return false;
        }
    }
    return true;
}

}  // namespace kiv::tunnel
