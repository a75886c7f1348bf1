#include "client/direct_path.hpp"

#include <cassert>
#include <cstring>

#include "wire/protocol.hpp"

namespace kiv::client {
namespace {

enum : uint8_t { OFFER = 1, PROBE = 2, ANSWER = 3, DATA = 4, HEARTBEAT = 5 };
constexpr uint8_t FLAG_SENDS_HERE = 1;
// The candidate index a heartbeat's nonce carries: it goes to the confirmed address.
constexpr uint64_t HEARTBEAT_INDEX = 0xFF;
static_assert(MAX_CANDIDATES < int(HEARTBEAT_INDEX), "a candidate index is never a heartbeat's");

constexpr size_t OFFSET_TYPE = 4;
constexpr size_t OFFSET_VERSION = 5;
constexpr size_t OFFSET_FLAGS = 6;
constexpr size_t OFFSET_NONCE = 8;
constexpr size_t OFFSET_SECRET = 16;
static_assert(OFFSET_SECRET + SECRET_SIZE == PROBE_SIZE, "a probe ends with the secret");

void write_start(uint8_t* out, uint8_t type) {
    memcpy(out, PATH_MAGIC, sizeof PATH_MAGIC);
    out[OFFSET_TYPE] = type;
    out[OFFSET_VERSION] = PATH_VERSION;
    out[OFFSET_FLAGS] = 0;
    out[OFFSET_FLAGS + 1] = 0;
}

uint64_t load_le64(const uint8_t* bytes) {
    return uint64_t(load_le32(bytes)) | uint64_t(load_le32(bytes + 4)) << 32;
}

void store_le64(uint8_t* bytes, uint64_t value) {
    store_le32(bytes, uint32_t(value));
    store_le32(bytes + 4, uint32_t(value >> 32));
}

// Equality of secrets in a time that does not depend on where they differ, so that a
// stranger's guesses learn nothing from how fast they are refused.
bool same_secret(const uint8_t* a, const Secret& b) {
    uint8_t difference = 0;
    for (size_t i = 0; i < SECRET_SIZE; ++i)
        difference |= uint8_t(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace

bool Candidates::add(const Peer& peer) {
    if (count == MAX_CANDIDATES || !peer.is_set() || find(peer) >= 0) return false;
    peers[size_t(count++)] = peer;
    return true;
}

int Candidates::find(const Peer& peer) const {
    for (int i = 0; i < count; ++i) {
        if (peers[size_t(i)] == peer) return i;
    }
    return -1;
}

size_t offer_write(const Offer& offer, uint8_t* out) {
    assert(offer.candidates.count >= 0 && offer.candidates.count <= MAX_CANDIDATES);
    write_start(out, OFFER);
    out[OFFSET_FLAGS] = uint8_t(offer.candidates.count);
    memcpy(out + 8, offer.secret.data(), SECRET_SIZE);
    uint8_t* at = out + OFFER_HEADER;
    for (int i = 0; i < offer.candidates.count; ++i) {
        const Peer& peer = offer.candidates.peers[size_t(i)];
        peer.write_address16(at);
        at[16] = uint8_t(peer.port());
        at[17] = uint8_t(peer.port() >> 8);
        at += OFFER_CANDIDATE;
    }
    return size_t(at - out);
}

bool offer_read(const uint8_t* bytes, size_t length, Offer* offer) {
    if (length < OFFER_HEADER || memcmp(bytes, PATH_MAGIC, sizeof PATH_MAGIC) != 0 ||
        bytes[OFFSET_TYPE] != OFFER || bytes[OFFSET_VERSION] != PATH_VERSION) {
        return false;
    }
    int count = bytes[OFFSET_FLAGS];
    if (count > MAX_CANDIDATES || length != OFFER_HEADER + OFFER_CANDIDATE * size_t(count)) {
        return false;
    }
    *offer = Offer{};
    memcpy(offer->secret.data(), bytes + 8, SECRET_SIZE);
    for (int i = 0; i < count; ++i) {
        const uint8_t* at = bytes + OFFER_HEADER + OFFER_CANDIDATE * size_t(i);
        Peer peer = Peer::from_address16(at, uint16_t(at[16] | at[17] << 8));
        // An address nobody can be reached at is no candidate: the peer's wildcard or port 0.
        if (peer.port() != 0 && !peer.is_any_address()) offer->candidates.add(peer);
    }
    return true;
}

bool is_path_datagram(const uint8_t* bytes, size_t length) {
    return length >= PATH_DATA_HEADER && memcmp(bytes, PATH_MAGIC, sizeof PATH_MAGIC) == 0;
}

void path_data_header(uint8_t* out) {
    write_start(out, DATA);
}

PathAction& PathActions::push(PathActionKind kind, const Peer& to) {
    assert(count < items.size());
    PathAction& action = items[count++];
    action.kind = kind;
    action.to = to;
    action.rtt_us = 0;
    action.length = 0;
    return action;
}

void DirectPath::start(const Candidates& peer, const Secret& secret, uint64_t now_us,
                       PathActions* out) {
    *this = DirectPath{};
    peer_ = peer;
    secret_ = secret;
    begin_punch(now_us);
    tick(now_us, out);
}

void DirectPath::learn(const Candidates& more, uint64_t now_us, PathActions* out) {
    int known = peer_.count;
    for (int i = 0; i < more.count; ++i)
        (void)peer_.add(more.peers[i]);
    // New addresses are probed at once: the peer is probing them now, and a NAT opens only
    // for a destination its own side sent to.
    if (peer_.count == known || on_path()) return;
    if (state_ == PathState::relayed) begin_punch(now_us);
    probe_round(now_us, out);
}

void DirectPath::begin_punch(uint64_t now_us) {
    state_ = PathState::punching;
    punch_until_us_ = now_us + PUNCH_US;
    next_send_us_ = now_us;
    peer_direct_ = false;
    direct_ = Peer{};
}

void DirectPath::give_up(PathActionKind kind, uint64_t now_us, PathActions* out) {
    state_ = PathState::relayed;
    retry_us_ = now_us + PATH_RETRY_US;
    peer_direct_ = false;
    out->push(kind, direct_);
    direct_ = Peer{};
}

void DirectPath::send_probe(uint8_t type, const Peer& to, uint64_t nonce, PathActions* out) const {
    PathAction& action = out->push(PathActionKind::send, to);
    write_start(action.bytes, type);
    bool sends_here = on_path() && to == direct_;
    action.bytes[OFFSET_FLAGS] = sends_here ? FLAG_SENDS_HERE : 0;
    store_le64(action.bytes + OFFSET_NONCE, nonce);
    memcpy(action.bytes + OFFSET_SECRET, secret_.data(), SECRET_SIZE);
    action.length = uint32_t(PROBE_SIZE);
}

void DirectPath::probe_round(uint64_t now_us, PathActions* out) {
    ++round_;
    round_sent_us_[round_ % ROUND_HISTORY] = now_us;
    uint64_t round = uint64_t(round_) << 8;
    if (on_path()) {
        send_probe(HEARTBEAT, direct_, round | HEARTBEAT_INDEX, out);
        next_send_us_ = now_us + HEARTBEAT_US;
        return;
    }
    for (int i = 0; i < peer_.count; ++i)
        send_probe(PROBE, peer_.peers[size_t(i)], round | uint64_t(i), out);
    next_send_us_ = now_us + PROBE_INTERVAL_US;
}

void DirectPath::tick(uint64_t now_us, PathActions* out) {
    switch (state_) {
        case PathState::idle:
            return;
        case PathState::relayed:
            if (now_us < retry_us_) return;
            begin_punch(now_us);
            break;
        case PathState::punching:
            if (now_us >= punch_until_us_) return give_up(PathActionKind::gave_up, now_us, out);
            break;
        case PathState::direct:
        case PathState::doubt: {
            uint64_t silent_us = now_us - heard_us_;
            if (silent_us > FALLBACK_US) return give_up(PathActionKind::fell_back, now_us, out);
            if (silent_us > DOUBT_US) state_ = PathState::doubt;
            break;
        }
    }
    if (now_us >= next_send_us_) probe_round(now_us, out);
}

PathInput DirectPath::receive(const uint8_t* bytes, size_t length, const Peer& from,
                              uint64_t now_us, PathActions* out) {
    if (!is_path_datagram(bytes, length) || bytes[OFFSET_VERSION] != PATH_VERSION) {
        return {PathInput::not_ours, nullptr, 0};
    }
    uint8_t type = bytes[OFFSET_TYPE];
    if (type == DATA) {
        // Data counts only from the address whose round trip was confirmed.
        if (!on_path() || !(from == direct_)) return {PathInput::dropped, nullptr, 0};
        peer_direct_ = true;
        return {PathInput::data, bytes + PATH_DATA_HEADER, length - PATH_DATA_HEADER};
    }
    bool control = type == PROBE || type == ANSWER || type == HEARTBEAT;
    if (state_ == PathState::idle || !control || length != PROBE_SIZE ||
        !same_secret(bytes + OFFSET_SECRET, secret_)) {
        return {PathInput::dropped, nullptr, 0};
    }
    if (type == ANSWER) {
        on_answer(bytes, from, now_us, out);
    } else {
        on_probe(bytes, from, now_us, out);
    }
    if (on_path() && from == direct_ && (bytes[OFFSET_FLAGS] & FLAG_SENDS_HERE) != 0) {
        peer_direct_ = true;
    }
    return {PathInput::control, nullptr, 0};
}

void DirectPath::on_probe(const uint8_t* bytes, const Peer& from, uint64_t now_us,
                          PathActions* out) {
    // A probe with the secret comes from the peer, whatever address its NAT gave it: that
    // address is worth probing too. A peer that tries again while this end waits to is
    // joined at once, since a NAT opens only for a destination its own side sent to.
    peer_.add(from);
    send_probe(ANSWER, from, load_le64(bytes + OFFSET_NONCE), out);
    if (state_ == PathState::relayed) {
        begin_punch(now_us);
        probe_round(now_us, out);
    }
}

void DirectPath::on_answer(const uint8_t* bytes, const Peer& from, uint64_t now_us,
                           PathActions* out) {
    uint64_t nonce = load_le64(bytes + OFFSET_NONCE);
    uint64_t index = nonce & 0xFF;
    uint64_t round = nonce >> 8;
    // Only an answer to a recent probe of ours, from the very address that probe went to.
    if (round == 0 || round > round_ || round_ - round >= ROUND_HISTORY) return;
    bool heartbeat = index == HEARTBEAT_INDEX;
    if (heartbeat ? !(on_path() && from == direct_)
                  : index >= uint64_t(peer_.count) || !(peer_.peers[index] == from)) {
        return;
    }
    if (on_path()) {
        // A late answer to a punching probe from another candidate moves nothing.
        if (!(from == direct_)) return;
        heard_us_ = now_us;
        state_ = PathState::direct;
        return;
    }
    // Only an address this end probed becomes the path.
    assert(peer_.find(from) >= 0);
    heard_us_ = now_us;
    state_ = PathState::direct;
    direct_ = from;
    out->push(PathActionKind::went_direct, from).rtt_us =
        now_us - round_sent_us_[round % ROUND_HISTORY];
    // A heartbeat at once tells the peer that data now comes this way, so that it stops
    // sending copies through the relay.
    probe_round(now_us, out);
}

Route DirectPath::route() const {
    if (!on_path()) return {true, false, Peer{}};
    assert(direct_.is_set() && peer_.find(direct_) >= 0);
    // Until the peer is known to send here too, it may still drop what comes this way; in
    // doubt, the path may be cut. Either way the relay carries a copy.
    bool relay_too = state_ == PathState::doubt || !peer_direct_;
    return {relay_too, true, direct_};
}

uint64_t DirectPath::wait_us(uint64_t now_us) const {
    if (state_ == PathState::idle) return UINT64_MAX;
    uint64_t next_us = state_ == PathState::relayed ? retry_us_ : next_send_us_;
    if (state_ == PathState::punching && punch_until_us_ < next_us) next_us = punch_until_us_;
    if (on_path()) {
        uint64_t change_us = heard_us_ + (state_ == PathState::doubt ? FALLBACK_US : DOUBT_US) + 1;
        if (change_us < next_us) next_us = change_us;
    }
    return next_us > now_us ? next_us - now_us : 0;
}

}  // namespace kiv::client
