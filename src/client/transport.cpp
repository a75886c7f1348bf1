#include "client/transport.hpp"

#include <sys/random.h>
#include <sys/types.h>

#include "client/retry.hpp"

namespace kiv::client {

uint32_t unpredictable_start() {
    uint32_t value = 0;
    // Without the kernel's random source the clock is the best left; either way the value
    // only makes a blind guess at an answer harder, it protects nothing by itself.
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != ssize_t(sizeof value)) {
        value = uint32_t(monotonic_us() * 0x9E3779B97F4A7C15ull >> 32);
    }
    return value;
}

Error Transport::send_header(MsgType type, uint32_t value) {
    return send_datagram(type, value, nullptr, 0);
}

Error Transport::send_datagram(MsgType type, uint32_t value, const void* payload, size_t length) {
    if (!ready()) return Error::not_ready;
    if (length > MAX_PAYLOAD) return Error::too_large;
    uint8_t header[HEADER_SIZE];
    header_write(header, type, value);
    // An empty datagram keeps a place in the room: it always goes to the relay, as an offer
    // of the secret while a join's data goes direct (DirectRoutes::keep_place).
    if (routes_.on() && type == MsgType::MSG_DATA && length == 0 && routes_.keep_place(value)) {
        carry_out_routes();
        return Error::none;
    }
    if (routes_.on() && type == MsgType::MSG_DATA && length > 0) {
        iovec part = {const_cast<void*>(payload), length};
        return send_routed(header, &part, 1);
    }
    if (routes_.on() && type == MsgType::MSG_DATA) routes_.relay_data_sent();
    return write(header, payload, length);
}

Error Transport::send_datagrams(MsgType type, uint32_t value, const iovec* payloads, size_t count) {
    if (!ready()) return Error::not_ready;
    if (count > SEND_BATCH) return Error::too_many;
    for (size_t i = 0; i < count; ++i) {
        if (payloads[i].iov_len > MAX_PAYLOAD) return Error::too_large;
    }
    uint8_t header[HEADER_SIZE];
    header_write(header, type, value);
    if (routes_.on() && type == MsgType::MSG_DATA && count > 0) {
        return send_routed(header, payloads, count);
    }
    return write_batch(header, payloads, count);
}

Error Transport::send_routed(uint8_t* header, const iovec* payloads, size_t count) {
    Route route = routes_.route(header_value(header));
    if (count == 1 && payloads[0].iov_len == 0) route = {true, false, Peer{}};
    Error error = Error::none;
    if (route.relay) {
        routes_.relay_data_sent();
        error = write_batch(header, payloads, count);
    }
    if (!route.direct) return error;
    uint8_t path_header[PATH_DATA_HEADER];
    path_data_header(path_header);
    Error direct_error = write_direct(route.to, path_header, payloads, count);
    return error != Error::none ? error : direct_error;
}

Error Transport::use_direct(bool on, bool host) {
    if (on == routes_.on()) return Error::none;
    if (!direct_settable()) return Error::not_ready;
    // A join's secret is the session's: it goes to the host in the offer, and only the two
    // of them ever hold it. Without the kernel's random source no path is offered at all.
    Secret secret{};
    if (on && !host && !draw_secret(&secret)) return Error::system;
    routes_.configure(on, host, secret);
    return Error::none;
}

bool Transport::draw_secret(Secret* secret) {
    return getrandom(secret->data(), secret->size(), GRND_NONBLOCK) == ssize_t(secret->size());
}

void Transport::carry_out_routes() {
    for (size_t i = 0; i < routes_.send_count(); ++i) {
        const RouteSend& send = routes_.send(i);
        // A lost probe, offer or keep-alive is sent again by the timers that sent it.
        if (send.to.is_set()) {
            (void)write_to(send.to, send.bytes, send.length);
        } else {
            (void)write(send.bytes, send.bytes + HEADER_SIZE, send.length - HEADER_SIZE);
        }
    }
    routes_.clear_sends();
}

void Transport::path_tick(uint64_t now_us) {
    if (!routes_.on()) return;
    routes_.tick(now_us);
    carry_out_routes();
}

bool Transport::path_event(Event* event) {
    if (!routes_.has_change()) return false;
    PathChange change = routes_.take_change();
    *event = Event{};
    event->kind = change.direct ? EventKind::path_direct : EventKind::path_relayed;
    event->tag = change.tag;
    event->round_trip_us = uint32_t(change.rtt_us);
    if (change.direct) event->path_to = change.to;
    // How the path went back: a direct one went silent, or punching found none.
    if (!change.direct && change.fell_back) event->error = Error::timed_out;
    return true;
}

bool Transport::receive(Datagram* datagram, uint64_t now_us) {
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    const Peer* from = nullptr;
    while (read(&bytes, &length, &from)) {
        if (from != nullptr) {
            // Not the relay's: a peer's data on a confirmed path, or nothing the session sees.
            PeerArrival arrival = routes_.from_peer(bytes, length, *from, now_us);
            carry_out_routes();
            if (arrival.data) {
                *datagram = {MsgType::MSG_DATA, arrival.tag.value, arrival.payload, arrival.length,
                             true};
                return true;
            }
            if (routes_.has_change()) return false;
            continue;
        }
        if (length < HEADER_SIZE || length > MAX_DATAGRAM || !header_has_magic(bytes) ||
            bytes[OFFSET_VERSION] != PROTOCOL_VERSION) {
            continue;
        }
        if (routes_.on() && routes_.from_relay(bytes, length, now_us)) {
            carry_out_routes();
            if (routes_.has_change()) return false;
            continue;
        }
        *datagram = {MsgType(bytes[OFFSET_TYPE]), header_value(bytes), bytes + HEADER_SIZE,
                     length - HEADER_SIZE, false};
        return true;
    }
    return false;
}

}  // namespace kiv::client
