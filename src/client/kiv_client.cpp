#include "client/kiv_client.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>

#include "net/segment_control.hpp"

namespace kiv::client {

const char* error_text(Error error) {
    switch (error) {
        case Error::none:
            return "no error";
        case Error::no_room:
            return "no such room";
        case Error::room_full:
            return "room is full";
        case Error::no_free_room:
            return "relay has no free room";
        case Error::bad_version:
            return "relay speaks another protocol version";
        case Error::not_allowed:
            return "relay refused the open token";
        case Error::unknown_refusal:
            return "relay refused with an unknown error";
        case Error::timed_out:
            return "relay did not answer";
        case Error::too_large:
            return "payload too large (at most 1400 bytes)";
        case Error::too_many:
            return "too many datagrams in one batch (at most 32)";
        case Error::bad_tag:
            return "tag outside 1-65535";
        case Error::bad_room:
            return "room id outside 1-33554432";
        case Error::not_ready:
            return "not open or joined";
        case Error::system:
            return "system error";
    }
    return "unknown error";
}

Error error_from_wire(uint32_t value) {
    switch (ErrorCode(value)) {
        case ErrorCode::ERR_NO_ROOM:
            return Error::no_room;
        case ErrorCode::ERR_ROOM_FULL:
            return Error::room_full;
        case ErrorCode::ERR_NO_FREE_ROOM:
            return Error::no_free_room;
        case ErrorCode::ERR_BAD_VERSION:
            return Error::bad_version;
        case ErrorCode::ERR_NOT_ALLOWED:
            return Error::not_allowed;
    }
    return Error::unknown_refusal;
}

uint64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000u + uint64_t(ts.tv_nsec) / 1000u;
}

int wait_ms_until(uint64_t now_us, uint64_t due_us) {
    if (due_us <= now_us) return 0;
    uint64_t ms = (due_us - now_us + 999) / 1000;
    return ms > 3'600'000 ? 3'600'000 : int(ms);
}

uint32_t unpredictable_start() {
    uint32_t value = 0;
    // Without the kernel's random source the clock is the best left; either way the value
    // only makes a blind guess at an answer harder, it protects nothing by itself.
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != ssize_t(sizeof value)) {
        value = uint32_t(monotonic_us() * 0x9E3779B97F4A7C15ull >> 32);
    }
    return value;
}

// ---- Link

Link::~Link() {
    if (fd_ >= 0) ::close(fd_);
}

Error Link::connect(const Peer& relay) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    // Connecting to no address would dissolve the socket's one peer instead of fixing it,
    // and let anyone's datagrams in.
    if (!relay.is_set()) {
        system_errno_ = EDESTADDRREQ;
        return Error::system;
    }
    fd_ = socket(relay.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    segmentation_works_ = true;
    coalescing_ = false;
    if (fd_ < 0 || ::connect(fd_, relay.name(), relay.name_length()) != 0) {
        system_errno_ = errno;
        // A socket that reaches no relay is not kept: fd() would offer the caller something
        // to wait on that never becomes readable.
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return Error::system;
    }
    apply_coalescing();
    return Error::none;
}

void Link::coalesce_receives(CoalescedSlot* slots, size_t count) {
    coalesced_slots_ = count > 0 ? slots : nullptr;
    coalesced_count_ = slots != nullptr ? count : 0;
    apply_coalescing();
}

void Link::apply_coalescing() {
    // Safe between any two calls: the datagrams of a read are still handed out of the
    // buffers they came in (parts_); the next read uses the new ones.
    int on = coalesced_count_ > 0 ? 1 : 0;
    coalescing_ = fd_ >= 0 && setsockopt(fd_, SOL_UDP, UDP_GRO, &on, sizeof on) == 0 && on == 1;
}

Error Link::attach(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    // Only the kernel's UDP cuts a segmented send; any other socket would carry the run as
    // one datagram.
    int protocol = 0;
    socklen_t length = sizeof protocol;
    segmentation_works_ = getsockopt(fd_, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
                          protocol == IPPROTO_UDP;
    apply_coalescing();
    int flags = fcntl(fd_, F_GETFL, 0);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        system_errno_ = errno;
        ::close(fd_);
        fd_ = -1;
        return Error::system;
    }
    return Error::none;
}

Error Link::send_header(MsgType type, uint32_t value) {
    return send_datagram(type, value, nullptr, 0);
}

Error Link::send_datagram(MsgType type, uint32_t value, const void* payload, size_t length) {
    if (fd_ < 0) return Error::not_ready;
    if (length > MAX_PAYLOAD) return Error::too_large;
    uint8_t header[HEADER_SIZE];
    header_write(header, type, value);
    // The payload goes out from the caller's memory: no copy, nothing allocated.
    iovec parts[2] = {{header, HEADER_SIZE}, {const_cast<void*>(payload), length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = length > 0 ? 2 : 1;
    if (sendmsg(fd_, &message, 0) >= 0) return Error::none;
    // A refused or full socket loses this datagram the way the network could; the retry or
    // keep-alive that depends on it is what recovers.
    if (errno == ECONNREFUSED || errno == EAGAIN || errno == ENOBUFS) return Error::none;
    system_errno_ = errno;
    return Error::system;
}

namespace {

// How many of payloads[first..count) go out as one segmented send: a run of one length, the
// last of it possibly shorter, within what the kernel takes in one.
size_t segment_run(const iovec* payloads, size_t first, size_t count) {
    size_t size = payloads[first].iov_len;
    size_t end = first + 1;
    if (size == 0) return 1;  // a header alone is no run the kernel can cut
    while (end < count && end - first < size_t(MAX_SEGMENTS) &&
           (end - first + 1) * (HEADER_SIZE + size) <= MAX_SEGMENTED_BYTES) {
        size_t next = payloads[end].iov_len;
        if (next > size || next == 0) break;
        ++end;
        if (next < size) break;  // only the last may be shorter
    }
    return end - first;
}

}  // namespace

Error Link::send_datagrams(MsgType type, uint32_t value, const iovec* payloads, size_t count) {
    if (fd_ < 0) return Error::not_ready;
    if (count > SEND_BATCH) return Error::too_many;
    uint8_t header[HEADER_SIZE];
    header_write(header, type, value);
    // Every datagram shares the one header; payloads go out from the caller's memory. A run
    // is one message whose parts are header, payload, header, payload...: the kernel cuts it
    // at the segment size, so each datagram is a header and its payload.
    iovec parts[SEND_BATCH][2];
    mmsghdr messages[SEND_BATCH] = {};
    SegmentControl controls[SEND_BATCH];
    size_t runs = 0;
    for (size_t i = 0; i < count; ++i) {
        if (payloads[i].iov_len > MAX_PAYLOAD) return Error::too_large;
        parts[i][0] = {header, HEADER_SIZE};
        parts[i][1] = payloads[i];
    }
    for (size_t i = 0; i < count; ++runs) {
        size_t run = segmentation_works_ ? segment_run(payloads, i, count) : 1;
        msghdr& message = messages[runs].msg_hdr;
        message.msg_iov = parts[i];
        message.msg_iovlen = payloads[i].iov_len > 0 ? 2 * run : 1;
        if (run > 1) {
            set_segment_size(message, controls[runs], uint16_t(HEADER_SIZE + payloads[i].iov_len));
        }
        i += run;
    }
    size_t done = 0;
    // Bounded: each failed call either ends the batch or consumes an error reported once.
    for (size_t calls = 0; done < runs && calls <= runs; ++calls) {
        int sent = sendmmsg(fd_, messages + done, unsigned(runs - done), 0);
        if (sent > 0) {
            done += size_t(sent);
            continue;
        }
        // An earlier datagram that met a closed port is reported once, on this call; the
        // rest of the batch can still go.
        if (sent < 0 && (errno == ECONNREFUSED || errno == EINTR)) continue;
        if (sent < 0 && messages[done].msg_hdr.msg_controllen > 0 && segmentation_refused(errno)) {
            segmentation_works_ = false;
            if (Error error = send_one_by_one(type, value, messages[done].msg_hdr);
                error != Error::none) {
                return error;
            }
            ++done;
            continue;
        }
        // As with one datagram: what a full socket does not take is lost, the way the
        // network could lose it.
        if (sent == 0 || errno == EAGAIN || errno == ENOBUFS) return Error::none;
        system_errno_ = errno;
        return Error::system;
    }
    return Error::none;
}

// A run the kernel would not segment, sent as the datagrams it stands for.
Error Link::send_one_by_one(MsgType type, uint32_t value, const msghdr& run) {
    for (size_t part = 1; part < run.msg_iovlen; part += 2) {
        const iovec& payload = run.msg_iov[part];
        if (Error error = send_datagram(type, value, payload.iov_base, payload.iov_len);
            error != Error::none) {
            return error;
        }
    }
    return Error::none;
}

size_t Link::fill() {
    size_t buffers = coalescing_ ? std::min(RECEIVE_BATCH, coalesced_count_) : RECEIVE_BATCH;
    for (size_t i = 0; i < buffers; ++i) {
        parts_[i] = coalescing_ ? iovec{coalesced_slots_[i].bytes, COALESCED_SLOT}
                                : iovec{buffers_[i].data(), buffers_[i].size()};
        headers_[i] = {};
        headers_[i].msg_hdr.msg_iov = &parts_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        if (coalescing_) {
            headers_[i].msg_hdr.msg_control = controls_[i].bytes;
            headers_[i].msg_hdr.msg_controllen = sizeof controls_[i].bytes;
        }
    }
    // Bounded: a refused earlier datagram or a signal is reported once per call.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int count = recvmmsg(fd_, headers_.data(), unsigned(buffers), MSG_DONTWAIT, nullptr);
        if (count > 0) return size_t(count);
        // An earlier datagram met a closed port; that is a lost request, not the end.
        if (count < 0 && (errno == ECONNREFUSED || errno == EINTR)) continue;
        return 0;
    }
    return 0;
}

bool Link::receive(Datagram* datagram) {
    if (fd_ < 0) return false;
    if (handed_ == received_ && received_ > 0) {
        // This read's datagrams are all out: the caller goes back to waiting, and the views
        // it holds stay valid until it reads again.
        handed_ = received_ = 0;
        return false;
    }
    if (received_ == 0) received_ = fill();
    while (handed_ < received_) {
        msghdr& buffer = headers_[handed_].msg_hdr;
        size_t received = headers_[handed_].msg_len;
        const uint8_t* header = static_cast<const uint8_t*>(parts_[handed_].iov_base);
        size_t length = received;
        // A coalesced buffer is handed out a segment at a time (segments.hpp): every one the
        // size the kernel names, the last perhaps shorter.
        if (size_t segment = segment_size_of(buffer); segment > 0 && offset_ < received) {
            header += offset_;
            length = std::min(segment, received - offset_);
            offset_ += length;
        }
        if (offset_ == 0 || offset_ >= received) {
            offset_ = 0;
            ++handed_;
        }
        if (length < HEADER_SIZE || length > MAX_DATAGRAM || !header_has_magic(header) ||
            header[OFFSET_VERSION] != PROTOCOL_VERSION) {
            continue;
        }
        *datagram = {MsgType(header[OFFSET_TYPE]), header_value(header), header + HEADER_SIZE,
                     length - HEADER_SIZE};
        return true;
    }
    handed_ = received_ = 0;
    return false;
}

// ---- Retry

void Retry::start(uint64_t now_us, uint64_t timeout_us) {
    active_ = true;
    deadline_us_ = now_us + timeout_us;
    next_send_us_ = now_us + RETRY_US;
}

Retry::Step Retry::step(uint64_t now_us) {
    if (!active_) return Step::wait;
    if (now_us >= deadline_us_) {
        active_ = false;
        return Step::expired;
    }
    if (now_us >= next_send_us_) {
        next_send_us_ = now_us + RETRY_US;
        return Step::resend;
    }
    return Step::wait;
}

namespace {

Event refused(Error error) {
    Event event;
    event.kind = EventKind::refused;
    event.error = error;
    return event;
}
Event timed_out() {
    Event event;
    event.kind = EventKind::timed_out;
    event.error = Error::timed_out;
    return event;
}
Event room_event(EventKind kind, RoomId room) {
    Event event;
    event.kind = kind;
    event.room = room;
    return event;
}
Event tag_event(EventKind kind, Tag tag) {
    Event event;
    event.kind = kind;
    event.tag = tag;
    return event;
}

Event lost_event(Error why, RoomId room) {
    Event event;
    event.kind = EventKind::lost;
    event.error = why;
    event.room = room;
    return event;
}
// Microseconds from now_us until due_us, none when already due.
uint64_t left_until(uint64_t now_us, uint64_t due_us) {
    return due_us > now_us ? due_us - now_us : 0;
}
Event data_event(Tag tag, const uint8_t* payload, size_t length) {
    Event event;
    event.kind = EventKind::data;
    event.tag = tag;
    event.payload = payload;
    event.length = length;
    return event;
}

}  // namespace

// ---- Host

Error Host::open(RoomId requested_id, uint64_t now_us, uint64_t timeout_us) {
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

Error Host::set_open_token(const uint8_t* token, size_t length) {
    if (length > MAX_OPEN_TOKEN) return Error::too_large;
    std::copy(token, token + length, open_token_);
    open_token_length_ = length;
    return Error::none;
}

Error Host::send_open() {
    if (open_token_length_ == 0) return send_header(MsgType::MSG_OPEN, room_id_.value);
    return send_datagram(MsgType::MSG_OPEN, room_id_.value, open_token_, open_token_length_);
}

// Nothing is sent while reopening: a relay that does not know this host would take a datagram
// for a client's join to a room numbered like the tag.
Error Host::send(Tag tag, const void* payload, size_t length, uint64_t) {
    if (state_ != State::open) return Error::not_ready;
    if (!tag.valid()) return Error::bad_tag;
    return send_datagram(MsgType::MSG_DATA, tag.value, payload, length);
}

Error Host::send_batch(Tag tag, const iovec* payloads, size_t count, uint64_t) {
    if (state_ != State::open) return Error::not_ready;
    if (!tag.valid()) return Error::bad_tag;
    return send_datagrams(MsgType::MSG_DATA, tag.value, payloads, count);
}

Error Host::close() {
    // A host that was refused or lost its relay may still hold a room there (the refusal may
    // not even have come from the relay), so a close is sent then as well.
    if (state_ == State::idle) return Error::not_ready;
    end_room();
    return send_header(MsgType::MSG_CLOSE, 0);
}

void Host::end_room() {
    state_ = State::closed;
    answer_.stop();
    roster_.clear();
    held_tag_ = Tag();
    forgetting_ = false;
}

// A new tag is announced first, after letting the longest silent go if the roster is full;
// its datagram is held and delivered on the next call.
Event Host::from_client(Tag tag, const uint8_t* payload, size_t length, uint64_t now_us) {
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

Event Host::lose(uint64_t now_us, uint64_t give_up_us, Error why) {
    state_ = State::reopening;
    (void)send_open();
    answer_.start(now_us, left_until(now_us, give_up_us));
    return lost_event(why, room_id_);
}

Event Host::tick(uint64_t now_us) {
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

Event Host::next_event(uint64_t now_us) {
    if (Event event = tick(now_us); event.kind != EventKind::none) return event;
    if (held_tag_.valid()) return from_client(held_tag_, held_payload_, held_length_, now_us);
    Datagram in;
    while (receive(&in)) {
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
                return from_client(in.tag(), in.payload, in.length, now_us);
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
            default:
                break;
        }
    }
    return {};
}

int Host::wait_ms(uint64_t now_us) const {
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
    return due_us == UINT64_MAX ? -1 : wait_ms_until(now_us, due_us);
}

// ---- Client

Error Client::join(RoomId room_id, uint64_t now_us, uint64_t timeout_us) {
    if (!room_id.valid()) return Error::bad_room;
    room_id_ = room_id;
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

Error Client::send_join(uint64_t now_us) {
    last_sent_us_ = now_us;
    Error error = send_header(MsgType::MSG_DATA, room_id_.value);
    if (error != Error::none) return error;
    return send_header(MsgType::MSG_PING, join_nonce_);
}

Error Client::send(const void* payload, size_t length, uint64_t now_us) {
    if (state_ == State::idle || state_ == State::rejoining) return Error::not_ready;
    Error error = send_datagram(MsgType::MSG_DATA, room_id_.value, payload, length);
    if (error == Error::none) last_sent_us_ = now_us;
    return error;
}

Error Client::send_batch(const iovec* payloads, size_t count, uint64_t now_us) {
    if (state_ == State::idle || state_ == State::rejoining) return Error::not_ready;
    Error error = send_datagrams(MsgType::MSG_DATA, room_id_.value, payloads, count);
    if (error == Error::none) last_sent_us_ = now_us;
    return error;
}

Error Client::leave() {
    if (state_ == State::idle) return Error::not_ready;
    state_ = State::idle;
    answer_.stop();
    return send_header(MsgType::MSG_LEAVE, 0);
}

Event Client::lose(uint64_t now_us, uint64_t give_up_us, Error why) {
    state_ = State::rejoining;
    lost_why_ = why;
    ++join_nonce_;
    (void)send_join(now_us);
    answer_.start(now_us, left_until(now_us, give_up_us));
    return lost_event(why, room_id_);
}

Event Client::tick(uint64_t now_us) {
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
        if (send_header(MsgType::MSG_DATA, room_id_.value) == Error::none) last_sent_us_ = now_us;
    }
    // Nothing heard for a while: a client that only sends would not notice a relay that is
    // gone, so the relay is asked for a pong, which costs it no lookup.
    if (now_us - last_heard_us_ >= KEEPALIVE_US && now_us >= next_probe_us_) {
        (void)send_header(MsgType::MSG_PING, join_nonce_);
        next_probe_us_ = now_us + RETRY_US;
    }
    return {};
}

Event Client::next_event(uint64_t now_us) {
    if (Event event = tick(now_us); event.kind != EventKind::none) return event;
    Datagram in;
    while (receive(&in)) {
        last_heard_us_ = now_us;
        switch (in.type) {
            case MsgType::MSG_DATA:
                if (state_ == State::idle) break;
                return data_event(Tag(), in.payload, in.length);
            case MsgType::MSG_PONG:
                if (in.value != join_nonce_) break;
                if (state_ != State::joining &&
                    (state_ != State::rejoining || refused_nonce_ == join_nonce_)) {
                    break;
                }
                // Joining always has an answer waiting: it ends in joined, refused or expired.
                assert(answer_.active());
                state_ = State::joined;
                answer_.stop();
                return room_event(EventKind::joined, room_id_);
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
            case MsgType::MSG_CLOSE:
            case MsgType::MSG_LEAVE:
            case MsgType::MSG_PING:
            case MsgType::MSG_CHALLENGE:
            case MsgType::MSG_JOIN:
            default:
                break;
        }
    }
    return {};
}

int Client::wait_ms(uint64_t now_us) const {
    if (answer_.active()) return wait_ms_until(now_us, answer_.next_us());
    if (state_ != State::joined) return -1;
    uint64_t quiet_us = std::max(last_heard_us_, last_sent_us_) + QUIET_KEEPALIVE_US;
    uint64_t due_us = std::min({last_sent_us_ + KEEPALIVE_US, quiet_us,
                                std::max(last_heard_us_ + KEEPALIVE_US, next_probe_us_)});
    return wait_ms_until(now_us, due_us);
}

// ---- Pinger

Error Pinger::start(uint64_t now_us, uint64_t timeout_us) {
    probe_first_value_ = next_value_;
    Error error = send_ping(now_us);
    if (error != Error::none) return error;
    answer_.start(now_us, timeout_us);
    return Error::none;
}

Error Pinger::send_ping(uint64_t now_us) {
    uint32_t value = next_value_++;
    sent_us_[value % ATTEMPTS_KEPT] = now_us;
    return send_header(MsgType::MSG_PING, value);
}

Event Pinger::next_event(uint64_t now_us) {
    switch (answer_.step(now_us)) {
        case Retry::Step::wait:
            break;
        case Retry::Step::resend:
            (void)send_ping(now_us);
            break;
        case Retry::Step::expired:
            return timed_out();
    }
    Datagram in;
    while (receive(&in)) {
        if (!answer_.active()) continue;
        if (in.type == MsgType::MSG_ERROR) {
            answer_.stop();
            return refused(error_from_wire(in.value));
        }
        // Unsigned distances: a pong counts when it answers an attempt of this probe whose
        // send time is still in the ring.
        uint32_t age = next_value_ - in.value;
        bool this_probe = in.value - probe_first_value_ < next_value_ - probe_first_value_;
        if (in.type != MsgType::MSG_PONG || !this_probe || age > ATTEMPTS_KEPT) continue;
        answer_.stop();
        Event event;
        event.kind = EventKind::pong;
        event.round_trip_us = uint32_t(now_us - sent_us_[in.value % ATTEMPTS_KEPT]);
        return event;
    }
    return {};
}

int Pinger::wait_ms(uint64_t now_us) const {
    return answer_.active() ? wait_ms_until(now_us, answer_.next_us()) : -1;
}

}  // namespace kiv::client
