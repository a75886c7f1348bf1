// Fuzz target for what one kiv end reads from the other (any member of the room may pose as
// one): each input is a run of datagrams, each a step of the clock in milliseconds (1 byte),
// a length (2 bytes, little-endian) and the bytes. A frame is read the same way whether it
// is a hello or not, a whole frame written again gives the same bytes, and the reassembly
// never holds more than its slots or hands out a datagram longer than the largest.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tunnel/tunnel_frame.hpp"

namespace {

[[noreturn]] void fail(const char* fault) {
    fprintf(stderr, "tunnel_frame_fuzz: %s\n", fault);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv::tunnel;
    static Reassembly pieces;
    pieces.clear();
    static uint8_t rewritten[kiv::client::MAX_PAYLOAD];
    uint64_t now_us = 0;
    size_t at = 0;
    while (at + 3 <= size) {
        now_us += uint64_t(data[at]) * 1000;
        size_t length = size_t(data[at + 1] | data[at + 2] << 8);
        at += 3;
        if (length > size - at) length = size - at;
        const uint8_t* bytes = data + at;
        at += length;

        Frame frame = parse_frame(bytes, length);
        if (is_hello(bytes, length) != (frame.kind == FrameKind::hello)) fail("hello read twice");
        if ((frame.kind == FrameKind::whole || frame.kind == FrameKind::piece) &&
            frame.channel >= CHANNELS) {
            fail("a channel out of range");
        }
        if (frame.kind == FrameKind::whole && frame.length <= WHOLE_DATA) {
            size_t written = write_whole(rewritten, frame.channel, frame.generation, frame.binding,
                                         frame.data, frame.length);
            if (written != length || memcmp(rewritten, bytes, length) != 0) {
                fail("a whole frame written again differs");
            }
        }
        if (frame.kind != FrameKind::piece) continue;
        Reassembly::Whole whole{};
        if (pieces.add(frame, now_us, &whole) &&
            (whole.length > MAX_APP_DATAGRAM || whole.length < 2)) {
            fail("a joined datagram of an impossible length");
        }
        if (pieces.in_progress() > Reassembly::SLOTS) fail("more datagrams held than slots");
    }
    return 0;
}
