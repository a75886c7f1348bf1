// What a call or an event of the client library can fail with, and its text for people.
#pragma once

#include <cstdint>

namespace kiv::client {

enum class Error : uint8_t {
    none,
    // Refusals sent by the relay, one per error value it defines.
    no_room,
    room_full,
    no_free_room,
    bad_version,
    not_allowed,      // the relay opens rooms only with a good open token
    unknown_refusal,  // an error value this library does not know
    // Found by the library itself.
    timed_out,  // the relay did not answer within the time allowed
    too_large,  // payload longer than MAX_PAYLOAD
    too_many,   // more than SEND_BATCH payloads in one call
    bad_tag,    // a tag outside 1..65535
    bad_room,   // a room id outside 1..2^25
    not_ready,  // not open / not joined / not connected yet
    system,     // a socket call failed; system_errno() tells why
    // Found by a client that checks its host (ClientSession::check_host), after a re-join.
    // The C interface's own statuses take the values between.
    other_host = 21,  // another host answers in the room
    no_host = 22,     // no host answers in the room
};

// A short text for people: "no such room", "room is full", ...
const char* error_text(Error error);
Error error_from_wire(uint32_t value);

}  // namespace kiv::client
