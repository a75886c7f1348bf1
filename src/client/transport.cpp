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
    return write_batch(header, payloads, count);
}

bool Transport::receive(Datagram* datagram) {
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    while (read(&bytes, &length)) {
        if (length < HEADER_SIZE || length > MAX_DATAGRAM || !header_has_magic(bytes) ||
            bytes[OFFSET_VERSION] != PROTOCOL_VERSION) {
            continue;
        }
        *datagram = {MsgType(bytes[OFFSET_TYPE]), header_value(bytes), bytes + HEADER_SIZE,
                     length - HEADER_SIZE};
        return true;
    }
    return false;
}

}  // namespace kiv::client
