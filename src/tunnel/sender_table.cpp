#include "tunnel/sender_table.hpp"

namespace kiv::tunnel {

namespace {
// Local senders are this machine's own programs, so a fixed key does; its top bits spread
// neighbouring ports (one program's runs) over the buckets.
const PeerHashKey LOCAL_HASH_KEY = PeerHashKey::from_seed(0x6B69765F6A6F696Eull);
}  // namespace

uint32_t SenderTable::bucket_of(const Peer& peer) {
    return uint32_t(peer.hash(LOCAL_HASH_KEY) >> 40) % BUCKETS;
}

uint16_t SenderTable::find(const Peer& source) const {
    for (uint32_t bucket = bucket_of(source), probes = 0; probes < BUCKETS;
         bucket = (bucket + 1) % BUCKETS, ++probes) {
        uint16_t channel = index_[bucket];
        if (channel == NONE) return NONE;
        if (senders_[channel].source == source) return channel;
    }
    return NONE;
}

void SenderTable::index_insert(uint16_t channel) {
    uint32_t bucket = bucket_of(senders_[channel].source);
    while (index_[bucket] != NONE)
        bucket = (bucket + 1) % BUCKETS;
    index_[bucket] = channel;
}

void SenderTable::index_remove(uint16_t channel) {
    uint32_t bucket = bucket_of(senders_[channel].source);
    while (index_[bucket] != channel)
        bucket = (bucket + 1) % BUCKETS;
    // Backward shift: every entry after the hole that would no longer be found from its
    // home bucket moves into the hole.
    uint32_t hole = bucket;
    for (uint32_t next = (hole + 1) % BUCKETS; index_[next] != NONE; next = (next + 1) % BUCKETS) {
        uint32_t home = bucket_of(senders_[index_[next]].source);
        bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            index_[hole] = index_[next];
            hole = next;
        }
    }
    index_[hole] = NONE;
}

SenderTable::Admission SenderTable::admit(const Peer& source, uint64_t now_us, uint16_t limit) {
    if (uint16_t known = find(source); known != NONE) {
        senders_[known].last_us = now_us;
        return {Outcome::known, known, {}};
    }
    if (limit > CAPACITY) limit = CAPACITY;
    uint16_t chosen = NONE;
    uint16_t quietest = NONE;
    for (uint16_t channel = 0; channel < limit; ++channel) {
        const Sender& entry = senders_[channel];
        if (!entry.in_use) {
            chosen = channel;
            break;
        }
        if (quietest == NONE || entry.last_us < senders_[quietest].last_us) quietest = channel;
    }
    Admission admission{Outcome::added, chosen, {}};
    if (chosen == NONE) {
        if (quietest == NONE || now_us - senders_[quietest].last_us < SENDER_QUIET_US) {
            return {Outcome::full, NONE, {}};
        }
        chosen = quietest;
        admission = {Outcome::took_over, chosen, senders_[chosen].source};
        forget(chosen);
    }
    Sender& entry = senders_[chosen];
    entry.in_use = true;
    entry.source = source;
    ++entry.generation;
    entry.last_us = now_us;
    ++in_use_;
    index_insert(chosen);
    return admission;
}

void SenderTable::forget(uint16_t channel) {
    Sender& entry = senders_[channel];
    if (!entry.in_use) return;
    index_remove(channel);
    entry.in_use = false;
    entry.source = Peer{};
    --in_use_;
}

}  // namespace kiv::tunnel
