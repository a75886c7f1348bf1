#include "client/direct_routes.hpp"

#include <cassert>
#include <cstring>

namespace kiv::client {

void DirectRoutes::configure(bool on, bool host, const Secret& secret) {
    Candidates own = own_;
    *this = DirectRoutes{};
    own_ = own;
    on_ = on;
    host_ = host;
    secret_ = secret;
    if (!host) sessions_[0].secret = secret;
}

void DirectRoutes::set_local(const Peer& local) {
    own_ = Candidates{};
    if (local.is_set()) own_.add(local);
}

void DirectRoutes::joined(RoomId room) {
    if (!on_ || host_) return;
    // Back in the room after a restart the host knows this join by another tag: it is told
    // the secret again under the new one, and keeps the path it has.
    room_ = room;
    offers_sent_ = 0;
    answered_ = false;
    confirmed_ = false;
}

void DirectRoutes::forget(Tag tag) {
    if (!host_) return;
    if (Session* session = session_for(tag)) *session = Session{};
}

bool DirectRoutes::trying() const {
    bool asking = !reflected_ && reflect_tries_ < REFLECT_TRIES;
    return asking || (!host_ && room_.valid() && !confirmed_ && offers_sent_ < OFFER_TRIES);
}

DirectRoutes::Session* DirectRoutes::session_for(Tag tag) {
    if (!host_) return &sessions_[0];
    for (Session& session : sessions_) {
        if (session.tag == tag) return &session;
    }
    return nullptr;
}

const DirectRoutes::Session* DirectRoutes::session_for(Tag tag) const {
    return const_cast<DirectRoutes*>(this)->session_for(tag);
}

RouteSend& DirectRoutes::push_send(const Peer& to, size_t length) {
    // Every call is emptied before the next: one call asks for a probe round per path at most.
    assert(send_count_ < sends_.size() && length <= sizeof sends_[0].bytes);
    RouteSend& send = sends_[send_count_++];
    send.to = to;
    send.length = uint32_t(length);
    return send;
}

bool DirectRoutes::from_relay(const uint8_t* bytes, size_t length, uint64_t now_us) {
    MsgType type = MsgType(bytes[OFFSET_TYPE]);
    if (type == MsgType::MSG_REFLECTED) {
        if (length != REFLECT_SIZE) return true;
        Peer seen =
            Peer::from_address16(bytes + REFLECT_ADDRESS_OFFSET, uint16_t(header_value(bytes)));
        if (!reflected_) own_.add(seen);
        reflected_ = true;
        next_try_us_ = now_us;  // a join offers at once, now that it knows its candidates
        return true;
    }
    Offer offer;
    if (type != MsgType::MSG_DATA || length <= HEADER_SIZE ||
        !offer_read(bytes + HEADER_SIZE, length - HEADER_SIZE, &offer)) {
        return false;
    }
    on_offer(header_tag(bytes), offer, now_us);
    return true;
}

void DirectRoutes::on_offer(Tag tag, const Offer& offer, uint64_t now_us) {
    if (!host_) {
        // The host's answer carries the join's own secret back, or it is no answer. Its
        // first says the host takes direct paths: the join names its candidates now. A path
        // already under way is kept: the answer to an offer made again after a restart.
        Session& session = sessions_[0];
        if (offer.secret != secret_ || confirmed_) return;
        if (answered_) {
            confirmed_ = true;
            return;
        }
        answered_ = true;
        send_offer(room_.value, secret_, true);
        offers_sent_ = 1;
        next_try_us_ = now_us + TRY_EVERY_US;
        if (session.path.state() != PathState::idle) return;
        session.path.start(offer.candidates, secret_, now_us, &actions_);
        return carry_out(session);
    }
    if (!tag.valid()) return;
    bool told_before = false;
    // A join that came back under another tag (a relay restart) keeps its path; a tag that
    // offers another secret starts over; a new one takes a free session, or none is started.
    Session* session = nullptr;
    for (Session& candidate : sessions_) {
        if (candidate.tag.valid() && candidate.secret == offer.secret) session = &candidate;
    }
    if (session != nullptr) told_before = session->told;
    if (session != nullptr && session->tag != tag) {
        if (Session* stale = session_for(tag); stale != nullptr) *stale = Session{};
        session->tag = tag;
    }
    if (session == nullptr) {
        session = session_for(tag);
        if (session != nullptr && now_us - session->punched_us < OFFER_RESTART_US) return;
        if (session == nullptr) session = session_for(Tag());
        if (session == nullptr) return;
        session->tag = tag;
        session->secret = offer.secret;
        session->punched_us = now_us;
        session->told = offer.candidates.count > 0;
        session->path.start(offer.candidates, offer.secret, now_us, &actions_);
        carry_out(*session);
    } else if (!session->told && offer.candidates.count > 0) {
        // The join's candidates, once it knows this host takes direct paths.
        session->told = true;
        session->path.learn(offer.candidates, now_us, &actions_);
        carry_out(*session);
    }
    // Answered: the first word of a join, and its candidates (which the answer confirms);
    // not the keep-alives of a join whose candidates this host has.
    if (!told_before || offer.candidates.count > 0) send_offer(tag.value, offer.secret, true);
}

bool DirectRoutes::keep_place(uint32_t value) {
    if (host_ || !sessions_[0].path.route().direct) return false;
    send_offer(value, secret_, false);
    return true;
}

void DirectRoutes::send_offer(uint32_t value, const Secret& secret, bool with_candidates) {
    RouteSend& send = push_send(Peer{}, HEADER_SIZE + MAX_OFFER);
    header_write(send.bytes, MsgType::MSG_DATA, value);
    Offer offer{secret, with_candidates ? own_ : Candidates{}};
    send.length = uint32_t(HEADER_SIZE + offer_write(offer, send.bytes + HEADER_SIZE));
    relay_data_sent_ = true;
}

PeerArrival DirectRoutes::from_peer(const uint8_t* bytes, size_t length, const Peer& from,
                                    uint64_t now_us) {
    for (Session& session : sessions_) {
        if (session.path.state() == PathState::idle) continue;
        PathInput input = session.path.receive(bytes, length, from, now_us, &actions_);
        carry_out(session);
        if (input.kind == PathInput::data) {
            return {true, host_ ? session.tag : Tag(), input.payload, input.length};
        }
        if (input.kind == PathInput::control) break;
    }
    return {false, Tag(), nullptr, 0};
}

Route DirectRoutes::route(uint32_t value) const {
    const Session* session = session_for(Tag(value));
    if (session == nullptr) return {true, false, Peer{}};
    return session->path.route();
}

void DirectRoutes::carry_out(const Session& session) {
    for (size_t i = 0; i < actions_.count; ++i) {
        const PathAction& action = actions_.items[i];
        if (action.kind == PathActionKind::send) {
            memcpy(push_send(action.to, action.length).bytes, action.bytes, action.length);
            continue;
        }
        if (change_count_ == changes_.size()) continue;  // never: each call's are taken
        bool direct = action.kind == PathActionKind::went_direct;
        changes_[change_count_++] = {direct, action.kind == PathActionKind::fell_back,
                                     host_ ? session.tag : Tag(), action.rtt_us, action.to};
    }
    actions_.clear();
}

PathChange DirectRoutes::take_change() {
    assert(has_change());
    PathChange change = changes_[change_first_++];
    if (change_first_ == change_count_) change_first_ = change_count_ = 0;
    return change;
}

void DirectRoutes::tick(uint64_t now_us) {
    if (!on_) return;
    if (relay_data_sent_) relay_data_us_ = now_us;
    relay_data_sent_ = false;
    if (now_us >= next_try_us_ && trying()) {
        if (!reflected_ && reflect_tries_ < REFLECT_TRIES) {
            RouteSend& request = push_send(Peer{}, REFLECT_SIZE);
            memset(request.bytes, 0, REFLECT_SIZE);
            header_write(request.bytes, MsgType::MSG_REFLECT, 0);
            ++reflect_tries_;
        } else {
            send_offer(room_.value, secret_, answered_);
            relay_data_us_ = now_us;
            ++offers_sent_;
        }
        next_try_us_ = now_us + TRY_EVERY_US;
    }
    if (!host_ && room_.valid() && now_us - relay_data_us_ >= PLACE_KEEPALIVE_US) {
        // The offer of the secret alone: a relay that restarted while the data went direct
        // lets this keep-alive into the room under a new tag without a word, and the host,
        // knowing the secret, moves the path to that tag, so that its answers through the
        // relay find this end again should the path fall back.
        send_offer(room_.value, secret_, false);
        relay_data_us_ = now_us;
        relay_data_sent_ = false;
    }
    for (Session& session : sessions_) {
        session.path.tick(now_us, &actions_);
        carry_out(session);
    }
}

uint64_t DirectRoutes::wait_us(uint64_t now_us) const {
    if (!on_) return UINT64_MAX;
    // Data sent since the last tick only moves the keep-alive later: the one due now is
    // looked at again when it is.
    if (has_change()) return 0;
    uint64_t due_us = UINT64_MAX;
    if (trying()) due_us = next_try_us_;
    if (!host_ && room_.valid() && relay_data_us_ + PLACE_KEEPALIVE_US < due_us) {
        due_us = relay_data_us_ + PLACE_KEEPALIVE_US;
    }
    uint64_t wait_us = due_us > now_us ? due_us - now_us : 0;
    for (const Session& session : sessions_) {
        uint64_t path_us = session.path.wait_us(now_us);
        if (path_us < wait_us) wait_us = path_us;
    }
    return wait_us;
}

}  // namespace kiv::client
