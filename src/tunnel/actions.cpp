#include "tunnel/actions.hpp"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kiv::tunnel {

Action& Actions::add(ActionKind kind) {
    assert(count_ < CAPACITY && "a session asked for more actions than one input may");
    Action& action = items_[count_++];
    action = Action{};
    action.kind = kind;
    return action;
}

const char* Actions::format(const char* pattern, ...) {
    assert(text_used_ < TEXT_CAPACITY);
    char* start = text_ + text_used_;
    va_list arguments;
    va_start(arguments, pattern);
    int written = vsnprintf(start, TEXT_CAPACITY - text_used_, pattern, arguments);
    va_end(arguments);
    size_t length = written < 0 ? 0 : size_t(written);
    assert(text_used_ + length < TEXT_CAPACITY && "a line longer than the text buffer");
    text_used_ += length + 1;
    return start;
}

uint8_t* Actions::bytes(size_t length) {
    assert(bytes_used_ + length <= BYTES_CAPACITY);
    uint8_t* start = bytes_ + bytes_used_;
    bytes_used_ += length;
    return start;
}

void Actions::clear() {
    count_ = 0;
    text_used_ = 0;
    bytes_used_ = 0;
}

void Outbox::add_raw(const uint8_t* data, size_t length) {
    assert(count < CAPACITY && length <= client::MAX_PAYLOAD);
    memcpy(frames[count], data, length);
    queued[count] = {frames[count], length};
    ++count;
}

void cut_frames(Outbox& out, uint16_t channel, uint16_t generation, uint16_t binding,
                uint32_t& next_datagram, const uint8_t* data, size_t length) {
    assert(length <= MAX_APP_DATAGRAM);
    size_t frames = frames_for(length);
    assert(out.count + frames <= Outbox::CAPACITY && "the shell sends before the outbox fills");
    uint32_t datagram = frames > 1 ? next_datagram++ : 0;
    for (size_t piece = 0; piece < frames; ++piece) {
        uint8_t* frame = out.frames[out.count];
        size_t written =
            frames == 1
                ? write_whole(frame, channel, generation, binding, data, length)
                : write_piece(frame, channel, generation, binding, datagram, data, length, piece);
        out.queued[out.count++] = {frame, written};
    }
}

}  // namespace kiv::tunnel
