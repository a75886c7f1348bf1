// Datagrams as peers write them, from the wire library's names: the builder every test that
// holds a datagram as bytes uses, so that a test reads as the exchange it drives and never
// spells a type as a number. Drivers that must not allocate (the allocation tests, the soak)
// or that hand the core a buffer of exactly the datagram's size (the fuzz driver) write the
// header in place with header_write instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wire/protocol.hpp"

namespace kiv::test {

using Bytes = std::vector<uint8_t>;
using enum MsgType;
using enum ErrorCode;

// A header: magic, type, version, reserved bytes, value (little-endian). A version other
// than 1 or reserved bytes other than 0 make the malformed headers tests need.
inline Bytes header(MsgType type, uint32_t value, uint8_t version = PROTOCOL_VERSION,
                    uint16_t reserved = 0) {
    Bytes bytes(HEADER_SIZE);
    header_write(bytes.data(), type, value);
    bytes[OFFSET_VERSION] = version;
    bytes[OFFSET_RESERVED] = uint8_t(reserved);
    bytes[OFFSET_RESERVED + 1] = uint8_t(reserved >> 8);
    return bytes;
}

inline Bytes with_payload(Bytes datagram, const Bytes& payload) {
    size_t at = datagram.size();
    datagram.resize(at + payload.size());
    for (size_t i = 0; i < payload.size(); ++i)
        datagram[at + i] = payload[i];
    return datagram;
}

inline Bytes datagram(MsgType type, uint32_t value, const Bytes& payload = {}) {
    return with_payload(header(type, value), payload);
}

// MSG_DATA to a room (from a client) or to a tag (from a host).
inline Bytes data(uint32_t value, const Bytes& payload = {}) {
    return datagram(MSG_DATA, value, payload);
}

inline Bytes data(uint32_t value, std::string_view payload) {
    return data(value, Bytes(payload.begin(), payload.end()));
}

// The error a refusal carries, as the relay sends it.
inline Bytes error(ErrorCode code) {
    return header(MSG_ERROR, uint32_t(code));
}

inline MsgType type_of(const Bytes& datagram) {
    return MsgType(datagram.at(OFFSET_TYPE));
}

inline uint32_t value_of(const Bytes& datagram) {
    return datagram.size() < HEADER_SIZE ? 0 : header_value(datagram.data());
}

}  // namespace kiv::test
