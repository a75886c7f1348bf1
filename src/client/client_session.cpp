#include "client/client_session.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace kiv::client {

using namespace events;

Error ClientSession::join(RoomId room_id, uint64_t now_us, uint64_t timeout_us) {
    if (!room_id.valid()) return Error::bad_room;
    room_id_ = room_id;
    host_check_.forget();
    ++join_nonce_;
    Error error = send_join(now_us);
    if (error != Error::none) return error;
    state_ = State::joining;
    refused_nonce_ = join_nonce_ - 1;
    last_heard_us_ = now_us;
    next_probe_us_ = 0;
    answer_.start(now_us, timeout_us);
    assert(room_id_.valid() && answer_.active());
    return Error::none;
}

Error ClientSession::send_join(uint64_t now_us) {
    last_sent_us_ = now_us;
    hold(nullptr, 0);
    echoed_ = false;
    Error error = transport_.send_header(MsgType::MSG_DATA, room_id_.value);
    if (error != Error::none) return error;
    return transport_.send_header(MsgType::MSG_PING, join_nonce_);
}

Error ClientSession::send(const void* payload, size_t length, uint64_t now_us) {
    if (state_ == State::idle || state_ == State::rejoining) return Error::not_ready;
    Error error = transport_.send_datagram(MsgType::MSG_DATA, room_id_.value, payload, length);
    if (error != Error::none) return error;
    last_sent_us_ = now_us;
    hold(payload, length);
    return error;
}

Error ClientSession::send_batch(const iovec* payloads, size_t count, uint64_t now_us) {
    if (state_ == State::idle || state_ == State::rejoining) return Error::not_ready;
    Error error = transport_.send_datagrams(MsgType::MSG_DATA, room_id_.value, payloads, count);
    if (error != Error::none || count == 0) return error;
    last_sent_us_ = now_us;
    hold(payloads[count - 1].iov_base, payloads[count - 1].iov_len);
    return error;
}

void ClientSession::hold(const void* payload, size_t length) {
    assert(length <= MAX_PAYLOAD);
    if (length > 0) memcpy(unjoined_, payload, length);
    unjoined_length_ = length;
}

// The echo names this session's room: a cookie the relay made for another room or address,
// or a forged one, is dropped there and gets nobody in anywhere. One echo per join attempt,
// and once joined one per round trip, bounds what a stream of challenges makes it send.
void ClientSession::answer_challenge(uint32_t cookie, uint64_t now_us) {
    if (state_ == State::idle || echoed_) return;
    uint8_t echo[JOIN_COOKIE_BYTES];
    store_le32(echo, cookie);
    (void)transport_.send_datagram(MsgType::MSG_JOIN, room_id_.value, echo, sizeof echo);
    (void)transport_.send_datagram(MsgType::MSG_DATA, room_id_.value, unjoined_, unjoined_length_);
    // A ping of its own: the pong to the join attempt's ping came after the challenge, and
    // only the pong after the echo says the join went through.
    ++join_nonce_;
    (void)transport_.send_header(MsgType::MSG_PING, join_nonce_);
    last_sent_us_ = now_us;
    echoed_ = true;
}

Error ClientSession::leave() {
    if (state_ == State::idle) return Error::not_ready;
    state_ = State::idle;
    answer_.stop();
    host_check_.pause();
    return transport_.send_header(MsgType::MSG_LEAVE, 0);
}

Event ClientSession::lose(uint64_t now_us, uint64_t give_up_us, Error why) {
    state_ = State::rejoining;
    host_check_.pause();
    lost_why_ = why;
    ++join_nonce_;
    (void)send_join(now_us);
    answer_.start(now_us, left_until(now_us, give_up_us));
    return lost_event(why, room_id_);
}

// The questions to the host, and what its silence means.
Event ClientSession::check_tick(uint64_t now_us) {
    switch (host_check_.silence(now_us)) {
        case HostCheck::Silence::none:
            break;
        case HostCheck::Silence::lost:
            // Nothing at all from the relay either: it is the relay that is gone, and it is
            // given its time as always. Datagrams but no answer: someone else's room.
            if (now_us - last_heard_us_ >= HOST_SILENT_US) {
                return lose(now_us, last_heard_us_ + RELAY_TIMEOUT_US, Error::timed_out);
            }
            return lose(now_us, now_us + RELAY_TIMEOUT_US, Error::no_host);
        case HostCheck::Silence::gone:
            host_check_.pause();
            state_ = State::idle;
            return refused(Error::no_host);
    }
    if (host_check_.question_due(now_us)) {
        uint8_t question[HOST_QUESTION_SIZE];
        host_question_write(question);
        (void)transport_.send_datagram(MsgType::MSG_DATA, room_id_.value, question,
                                       sizeof question);
        last_sent_us_ = now_us;
    }
    return {};
}

Event ClientSession::from_host(const uint8_t* payload, size_t length, uint64_t now_us) {
    switch (host_check_.from_host(payload, length, now_us)) {
        case HostCheck::Verdict::deliver:
            return data_event(Tag(), payload, length);
        case HostCheck::Verdict::held:
        case HostCheck::Verdict::consumed:
            return {};
        case HostCheck::Verdict::same_host:
            state_ = State::joined;
            transport_.path_joined(room_id_);
            return room_event(EventKind::joined, room_id_);
        case HostCheck::Verdict::other_host:
            state_ = State::idle;
            answer_.stop();
            return refused(Error::other_host);
    }
    return {};
}

Event ClientSession::tick(uint64_t now_us) {
    if (Event event = check_tick(now_us); event.kind != EventKind::none) return event;
    switch (answer_.step(now_us)) {
        case Retry::Step::wait:
            break;
        case Retry::Step::resend:
            // Each re-join has a value of its own, so that the pong after a refused one is
            // not taken for a join that went through.
            if (state_ == State::rejoining) ++join_nonce_;
            (void)send_join(now_us);
            break;
        case Retry::Step::expired: {
            bool was_rejoining = state_ == State::rejoining;
            state_ = State::idle;
            // The relay kept saying the room is gone: that is its answer, given up on now.
            if (was_rejoining && lost_why_ == Error::no_room) return refused(Error::no_room);
            return timed_out();
        }
    }
    if (state_ != State::joined) return {};
    // A relay that answered nothing, not even the pings below, for this long is lost.
    if (now_us - last_heard_us_ >= KEEPALIVE_US + LOST_AFTER_US) {
        return lose(now_us, last_heard_us_ + RELAY_TIMEOUT_US, Error::timed_out);
    }
    // Only a client's own datagrams keep its slot; an empty one reaches the host as a
    // datagram without payload.
    bool quiet = now_us - last_heard_us_ >= QUIET_KEEPALIVE_US &&
                 now_us - last_sent_us_ >= QUIET_KEEPALIVE_US;
    if (now_us - last_sent_us_ >= KEEPALIVE_US || quiet) {
        if (transport_.send_header(MsgType::MSG_DATA, room_id_.value) == Error::none) {
            last_sent_us_ = now_us;
            hold(nullptr, 0);
        }
    }
    // Nothing heard for a while: a client that only sends would not notice a relay that is
    // gone, so the relay is asked for a pong, which costs it no lookup.
    if (now_us - last_heard_us_ >= KEEPALIVE_US && now_us >= next_probe_us_) {
        (void)transport_.send_header(MsgType::MSG_PING, join_nonce_);
        next_probe_us_ = now_us + RETRY_US;
    }
    return {};
}

Event ClientSession::next_event(uint64_t now_us) {
    if (Event event = tick(now_us); event.kind != EventKind::none) return event;
    Event event;
    transport_.path_tick(now_us);
    if (transport_.path_event(&event)) return event;
    Transport::Datagram in;
    while (transport_.receive(&in, now_us)) {
        // Only the relay's answers say that the relay is still there.
        if (!in.direct) last_heard_us_ = now_us;
        switch (in.type) {
            case MsgType::MSG_DATA: {
                if (state_ == State::idle) break;
                Event from = from_host(in.payload, in.length, now_us);
                if (from.kind != EventKind::none) return from;
                break;
            }
            case MsgType::MSG_PONG: {
                // While the host is in question the join has gone through already.
                if (in.value != join_nonce_ || host_check_.verifying()) break;
                echoed_ = false;
                if (state_ != State::joining &&
                    (state_ != State::rejoining || refused_nonce_ == join_nonce_)) {
                    break;
                }
                // Joining always has an answer waiting: it ends in joined, refused or expired.
                assert(answer_.active());
                bool rejoined = state_ == State::rejoining;
                answer_.stop();
                // Back in the room, but maybe with someone else's host: rejoining until the
                // first one answers.
                if (host_check_.joined(rejoined, now_us)) break;
                state_ = State::joined;
                transport_.path_joined(room_id_);
                return room_event(EventKind::joined, room_id_);
            }
            case MsgType::MSG_ERROR: {
                if (state_ == State::idle) break;
                Error error = error_from_wire(in.value);
                if (error == Error::no_room && state_ == State::joined) {
                    return lose(now_us, now_us + RELAY_TIMEOUT_US, Error::no_room);
                }
                if (error == Error::no_room && state_ == State::rejoining) {
                    lost_why_ = Error::no_room;
                    refused_nonce_ = join_nonce_;
                    break;
                }
                state_ = State::idle;
                answer_.stop();
                return refused(error);
            }
            case MsgType::MSG_OPEN:
            case MsgType::MSG_OPENED:
            case MsgType::MSG_CHALLENGE:
                answer_challenge(in.value, now_us);
                break;
            case MsgType::MSG_CLOSE:
            case MsgType::MSG_LEAVE:
            case MsgType::MSG_PING:
            case MsgType::MSG_JOIN:
            case MsgType::MSG_REFLECT:
            case MsgType::MSG_REFLECTED:
            default:
                break;
        }
    }
    if (transport_.path_event(&event)) return event;
    return {};
}

int ClientSession::wait_ms(uint64_t now_us) const {
    uint64_t due_us = UINT64_MAX;
    if (answer_.active()) {
        due_us = answer_.next_us();
    } else if (host_check_.verifying()) {
        due_us = host_check_.next_us();
    } else if (state_ == State::joined) {
        uint64_t quiet_us = std::max(last_heard_us_, last_sent_us_) + QUIET_KEEPALIVE_US;
        due_us = std::min({last_sent_us_ + KEEPALIVE_US, quiet_us,
                           std::max(last_heard_us_ + KEEPALIVE_US, next_probe_us_),
                           host_check_.next_us()});
    }
    uint64_t path_us = transport_.path_wait_us(now_us);
    if (path_us != UINT64_MAX && now_us + path_us < due_us) due_us = now_us + path_us;
    return due_us == UINT64_MAX ? -1 : wait_ms_until(now_us, due_us);
}

}  // namespace kiv::client
