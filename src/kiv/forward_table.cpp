#include "kiv/forward_table.hpp"

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
    if (next_binding_ == 0) ++next_binding_;  // 0 is no binding
    clients_[client].binding = next_binding_++;
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

ForwardTable::Assignment ForwardTable::assign(uint16_t client, uint16_t channel,
                                              uint16_t generation, uint64_t now_us) {
    uint16_t index = by_channel_[client][channel];
    if (index != NONE) {
        Socket& entry = sockets_[index];
        if (entry.generation == generation) {
            touch(index, now_us);
            return {Verdict::existing, index, -1};
        }
        // Serial order, so that the join's generations may wrap: a datagram of the sender
        // that gave the channel up, arriving late, must not take it back.
        if (int16_t(uint16_t(generation - entry.generation)) < 0) {
            return {Verdict::stale, index, -1};
        }
        int old_fd = entry.fd;
        entry.generation = generation;
        entry.fd = -1;
        touch(index, now_us);
        return {Verdict::replaced, index, old_fd};
    }
    for (int step = 0; step < SOCKETS; ++step) {
        uint16_t candidate = uint16_t((free_hint_ + step) % SOCKETS);
        if (sockets_[candidate].client != NONE) continue;
        free_hint_ = uint16_t((candidate + 1) % SOCKETS);
        sockets_[candidate] = {client, channel, generation, -1, now_us};
        by_channel_[client][channel] = candidate;
        ++clients_[client].sockets;
        ++open_sockets_;
        touch(candidate, now_us);
        return {Verdict::opened, candidate, -1};
    }
    return {Verdict::full, NONE, -1};
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
    by_channel_[entry.client][entry.channel] = NONE;
    --clients_[entry.client].sockets;
    --open_sockets_;
    entry = Socket{};
}

}  // namespace kiv::tunnel
