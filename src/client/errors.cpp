#include "client/errors.hpp"

#include "wire/protocol.hpp"

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
        case Error::other_host:
            return "another host answers";
        case Error::no_host:
            return "no host answers";
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

}  // namespace kiv::client
