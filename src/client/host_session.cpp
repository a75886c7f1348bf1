#include "client/host_session.hpp"

#include <algorithm>
#include <cassert>

#include "client/host_check.hpp"

namespace kiv::client {

using namespace events;

Error HostSession::open(RoomId requested_id, uint64_t now_us, uint64_t timeout_us) {
    if (requested_id.value > MAX_ROOM_ID) return Error::bad_room;
    room_id_ = requested_id;
    timeout_us_ = timeout_us;
    Error error = send_open();
    if (error != Error::none) return error;
    state_ = State::opening;
    last_heard_us_ = now_us;
    answer_.start(now_us, timeout_us);
    assert(state_ == State::opening && answer_.active());
    return Error::none;
}

Error HostSession::set_open_token(const uint8_t* token, size_t length) {
    if (length > MAX_OPEN_TOKEN) return Error::too_large;
    std::copy(token, token + length, open_token_);
    open_token_length_ = length;
    return Error::none;
}

Error HostSession::send_open() {
    if (open_token_length_ == 0) return transport_.send_header(MsgType::MSG_OPEN, room_id_.value);
    return transport_.send_datagram(MsgType::MSG_OPEN, room_id_.value, open_token_,
                                    open_token_length_);
}

// Nothing is sent while reopening: a relay that does not know this host would take a datagram
// for a client's join to a room numbered like the tag.
Error HostSession::send(Tag tag, const void* payload, size_t length, uint64_t) {
    if (state_ != State::open) return Error::not_ready;
    if (!tag.valid()) return Error::bad_tag;
    return transport_.send_datagram(MsgType::MSG_DATA, tag.value, payload, length);
}

Error HostSession::send_batch(Tag tag, const iovec* payloads, size_t count, uint64_t) {
    if (state_ != State::open) return Error::not_ready;
    if (!tag.valid()) return Error::bad_tag;
    return transport_.send_datagrams(MsgType::MSG_DATA, tag.value, payloads, count);
}

Error HostSession::close() {
    // A host that was refused or lost its relay may still hold a room there (the refusal may
    // not even have come from the relay), so a close is sent then as well.
    if (state_ == State::idle) return Error::not_ready;
    end_room();
    return transport_.send_header(MsgType::MSG_CLOSE, 0);
}

void HostSession::end_room() {
    state_ = State::closed;
    answer_.stop();
    roster_.clear();
    held_tag_ = Tag();
    forgetting_ = false;
}

// A new tag is announced first, after letting the longest silent go if the roster is full;
// its datagram is held and delivered on the next call.
Event HostSession::from_client(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us) {
    if (roster_.knows(tag)) {
        roster_.heard(tag, now_us);
        held_tag_ = Tag();
        return data_event(tag, payload, length);
    }
    held_tag_ = tag;
    held_payload_ = payload;
    held_length_ = length;
    if (roster_.add(tag, now_us)) return tag_event(EventKind::client_joined, tag);
    Tag gone = roster_.oldest();
    roster_.remove(gone);
    return tag_event(EventKind::client_left, gone);
}

// One answer per question, to the client that asked: it amplifies nothing towards anyone else.
bool HostSession::answered_question(Tag tag, const uint8_t* payload, size_t length,
                                    uint64_t now_us) {
    if (identity_ == 0 || !is_host_question(payload, length)) return false;
    uint8_t answer[HOST_ANSWER_SIZE];
    host_answer_write(identity_, answer);
    (void)transport_.send_datagram(MsgType::MSG_DATA, tag.value, answer, sizeof answer);
    if (roster_.knows(tag)) roster_.heard(tag, now_us);
    return true;
}

Event HostSession::lose(uint64_t now_us, uint64_t give_up_us, Error why) {
    state_ = State::reopening;
    (void)send_open();
    answer_.start(now_us, left_until(now_us, give_up_us));
    return lost_event(why, room_id_);
}

Event HostSession::tick(uint64_t now_us) {
    // The keep-alive is an open for the room already held: the relay answers it like the
    // first, which also tells the host that its room still exists, and a relay that lost
    // the room (a restart) opens it again under the same id if it is free.
    if (state_ == State::open && !answer_.active() && now_us >= keepalive_due_us_) {
        assert(room_id_.valid());
        (void)send_open();
        answer_.start(now_us, LOST_AFTER_US);
    }
    switch (answer_.step(now_us)) {
        case Retry::Step::wait:
            break;
        case Retry::Step::resend:
            (void)send_open();
            break;
        case Retry::Step::expired:
            // An unanswered keep-alive loses the relay; the room is asked for until the
            // relay would have forgotten it anyway.
            if (state_ == State::open) {
                return lose(now_us, last_heard_us_ + RELAY_TIMEOUT_US, Error::timed_out);
            }
            end_room();
            return timed_out();
    }
    if (forgetting_) {
        if (Tag gone = roster_.oldest(); gone.valid()) {
            roster_.remove(gone);
            return tag_event(EventKind::client_left, gone);
        }
        forgetting_ = false;
    }
    if (state_ == State::open) {
        if (Tag gone = roster_.expire(now_us); gone.valid()) {
            return tag_event(EventKind::client_left, gone);
        }
    }
    return {};
}

Event HostSession::next_event(uint64_t now_us) {
    if (Event event = tick(now_us); event.kind != EventKind::none) return forgotten(event);
    if (held_tag_.valid()) return from_client(held_tag_, held_payload_, held_length_, now_us);
    Event event;
    transport_.path_tick(now_us);
    if (transport_.path_event(&event)) return event;
    Transport::Datagram in;
    while (transport_.receive(&in, now_us)) {
        last_heard_us_ = now_us;
        switch (in.type) {
            case MsgType::MSG_OPENED: {
                // Only an answer to an open or keep-alive still waiting counts, and only with
                // an id a room can have.
                if (!answer_.active() || !in.room().valid()) break;
                // An answer is awaited only while opening or keeping a room alive.
                assert(state_ == State::opening || state_ == State::open ||
                       state_ == State::reopening);
                bool news = state_ != State::open || in.room() != room_id_;
                // In another room, the clients of the last one are gone.
                if (state_ != State::opening && in.room() != room_id_) forgetting_ = true;
                state_ = State::open;
                room_id_ = in.room();
                answer_.stop();
                keepalive_due_us_ = now_us + HOST_KEEPALIVE_US;
                if (news) return room_event(EventKind::opened, room_id_);
                break;
            }
            case MsgType::MSG_DATA:
                if (state_ != State::open || !in.tag().valid()) break;
                if (answered_question(in.tag(), in.payload, in.length, now_us)) break;
                return forgotten(from_client(in.tag(), in.payload, in.length, now_us));
            case MsgType::MSG_ERROR: {
                Error error = error_from_wire(in.value);
                // The relay no longer knows this host: it restarted, or forgot the room.
                if (state_ == State::open && error == Error::no_room) {
                    return lose(now_us, now_us + RELAY_TIMEOUT_US, Error::no_room);
                }
                // An answer to a datagram sent before the room was lost.
                if (state_ == State::reopening && error == Error::no_room) break;
                if (state_ != State::opening && state_ != State::open &&
                    state_ != State::reopening) {
                    break;
                }
                // Any other refusal: the host no longer holds a room it can rely on.
                end_room();
                return refused(error);
            }
            case MsgType::MSG_OPEN:
            case MsgType::MSG_CLOSE:
            case MsgType::MSG_LEAVE:
            case MsgType::MSG_PING:
            case MsgType::MSG_PONG:
            case MsgType::MSG_CHALLENGE:
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

Event HostSession::forgotten(const Event& event) {
    // A client the host no longer knows has no direct path either.
    if (event.kind == EventKind::client_left) transport_.path_forget(event.tag);
    return event;
}

int HostSession::wait_ms(uint64_t now_us) const {
    if (held_tag_.valid() || forgetting_) return 0;
    uint64_t due_us = UINT64_MAX;
    if (answer_.active()) {
        due_us = answer_.next_us();
    } else if (state_ == State::open) {
        due_us = keepalive_due_us_;
    }
    if (state_ == State::open && roster_.next_expiry_us() < due_us) {
        due_us = roster_.next_expiry_us();
    }
    uint64_t path_us = transport_.path_wait_us(now_us);
    if (path_us != UINT64_MAX && now_us + path_us < due_us) due_us = now_us + path_us;
    return due_us == UINT64_MAX ? -1 : wait_ms_until(now_us, due_us);
}

}  // namespace kiv::client
