// What an endpoint reports from next_event(), and the makers its state machines share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/errors.hpp"
#include "wire/peer.hpp"
#include "wire/values.hpp"

namespace kiv::client {

enum class EventKind : uint8_t {
    none,       // nothing to report now
    opened,     // Host: the room is open; room is its id (again after a change of id)
    joined,     // Client: the relay confirmed the join to room
    data,       // a datagram; at a Host, tag is its sender
    pong,       // Pinger: round_trip_us is the round trip
    refused,    // the relay sent an error; see error
    timed_out,  // a request went unanswered; error is Error::timed_out
    // Host: tag spoke for the first time; its datagram is delivered next.
    client_joined,
    // Host: tag was silent for longer than the relay keeps a client, so the relay has
    // forgotten it too (see Roster).
    client_left,
    // Host or Client: the relay no longer knows the room or the place in it (error no_room)
    // or stopped answering (error timed_out); the endpoint is trying to get back, see
    // kiv_client.hpp.
    lost,
    // Host or Client with direct paths on: data to the peer (tag, at a Host) now goes
    // directly; round_trip_us is the round trip that confirmed the path.
    path_direct,
    // Host or Client with direct paths on: data to the peer goes through the relay alone
    // again: error timed_out when a direct path went silent, none when punching found no
    // path. Another try follows later by itself.
    path_relayed,
};

struct Event {
    EventKind kind = EventKind::none;
    Error error = Error::none;
    RoomId room;  // opened, joined, lost
    Tag tag;      // data at a Host, client_joined, client_left, path_direct, path_relayed
    uint32_t round_trip_us = 0;        // pong, path_direct
    const uint8_t* payload = nullptr;  // for data; valid as kiv_client.hpp says
    size_t length = 0;
    Peer path_to{};  // path_direct: the peer's address the data goes to
};

// The events the state machines make, by kind.
namespace events {

inline Event refused(Error error) {
    Event event;
    event.kind = EventKind::refused;
    event.error = error;
    return event;
}

inline Event timed_out() {
    Event event;
    event.kind = EventKind::timed_out;
    event.error = Error::timed_out;
    return event;
}

inline Event room_event(EventKind kind, RoomId room) {
    Event event;
    event.kind = kind;
    event.room = room;
    return event;
}

inline Event tag_event(EventKind kind, Tag tag) {
    Event event;
    event.kind = kind;
    event.tag = tag;
    return event;
}

inline Event lost_event(Error why, RoomId room) {
    Event event;
    event.kind = EventKind::lost;
    event.error = why;
    event.room = room;
    return event;
}

inline Event data_event(Tag tag, const uint8_t* payload, size_t length) {
    Event event;
    event.kind = EventKind::data;
    event.tag = tag;
    event.payload = payload;
    event.length = length;
    return event;
}

}  // namespace events
}  // namespace kiv::client
