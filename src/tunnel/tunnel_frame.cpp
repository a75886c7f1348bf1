#include "tunnel/tunnel_frame.hpp"

#include <cstring>

namespace kiv::tunnel {
namespace {

constexpr uint8_t HELLO_MAGIC[4] = {'K', 'I', 'V', 'T'};

uint16_t load_le16(const uint8_t* bytes) {
    return uint16_t(bytes[0] | bytes[1] << 8);
}

void store_le16(uint8_t* bytes, uint16_t value) {
    bytes[0] = uint8_t(value);
    bytes[1] = uint8_t(value >> 8);
}

uint64_t load_le64(const uint8_t* bytes) {
    return uint64_t(load_le32(bytes)) | uint64_t(load_le32(bytes + 4)) << 32;
}

void store_le64(uint8_t* bytes, uint64_t value) {
    store_le32(bytes, uint32_t(value));
    store_le32(bytes + 4, uint32_t(value >> 32));
}

}  // namespace

bool is_hello(const uint8_t* bytes, size_t length) {
    return length == HELLO_SIZE && memcmp(bytes, HELLO_MAGIC, sizeof HELLO_MAGIC) == 0 &&
           bytes[4] == uint8_t(FrameKind::hello) && bytes[5] == FRAME_VERSION;
}

Frame parse_frame(const uint8_t* bytes, size_t length) {
    Frame frame;
    if (length == 0) return frame;
    if ((length == HELLO_SIZE || length == UNNAMED_WELCOME_SIZE || length == WELCOME_SIZE) &&
        memcmp(bytes, HELLO_MAGIC, sizeof HELLO_MAGIC) == 0) {
        FrameKind kind = FrameKind(bytes[4]);
        bool sized = kind == FrameKind::welcome ? length != HELLO_SIZE : length == HELLO_SIZE;
        if ((kind != FrameKind::hello && kind != FrameKind::welcome && kind != FrameKind::who) ||
            !sized || bytes[5] != FRAME_VERSION) {
            return frame;
        }
        frame.kind = kind;
        frame.identity = load_le64(bytes + 6);
        if (kind == FrameKind::welcome) frame.binding = load_le16(bytes + HELLO_SIZE);
        if (length == WELCOME_SIZE) frame.host = load_le64(bytes + UNNAMED_WELCOME_SIZE);
        return frame;
    }
    switch (FrameKind(bytes[0])) {
        case FrameKind::whole:
            if (length < WHOLE_HEADER) return frame;
            frame.channel = load_le16(bytes + 1);
            frame.generation = load_le16(bytes + 3);
            frame.binding = load_le16(bytes + 5);
            frame.data = bytes + WHOLE_HEADER;
            frame.length = length - WHOLE_HEADER;
            break;
        case FrameKind::piece: {
            if (length <= PIECE_HEADER) return frame;
            frame.channel = load_le16(bytes + 1);
            frame.generation = load_le16(bytes + 3);
            frame.binding = load_le16(bytes + 5);
            frame.datagram = load_le32(bytes + 7);
            frame.index = bytes[11];
            frame.count = bytes[12];
            frame.data = bytes + PIECE_HEADER;
            frame.length = length - PIECE_HEADER;
            bool last = frame.index + 1 == frame.count;
            // A set of one piece would have gone whole. Whether the pieces agree on their
            // size is for the reassembly to see; the smallest datagram this piece can belong
            // to must fit.
            size_t smallest =
                last ? frame.count * frame.length : (frame.count - 1) * frame.length + 1;
            if (frame.count < 2 || frame.count > MAX_PIECES || frame.index >= frame.count ||
                frame.length > PIECE_DATA || smallest > MAX_APP_DATAGRAM) {
                return frame;
            }
            break;
        }
        case FrameKind::invalid:
        case FrameKind::hello:  // only with the magic, above
        case FrameKind::welcome:
        case FrameKind::who:
        default:
            return frame;
    }
    if (frame.channel >= CHANNELS) return frame;
    frame.kind = FrameKind(bytes[0]);
    return frame;
}

size_t write_hello(uint8_t* out, FrameKind kind, uint64_t identity) {
    memcpy(out, HELLO_MAGIC, sizeof HELLO_MAGIC);
    out[4] = uint8_t(kind);
    out[5] = FRAME_VERSION;
    store_le64(out + 6, identity);
    return HELLO_SIZE;
}

size_t write_welcome(uint8_t* out, uint64_t identity, uint16_t binding, uint64_t host) {
    write_hello(out, FrameKind::welcome, identity);
    store_le16(out + HELLO_SIZE, binding);
    store_le64(out + UNNAMED_WELCOME_SIZE, host);
    return WELCOME_SIZE;
}

size_t write_whole(uint8_t* out, uint16_t channel, uint16_t generation, uint16_t binding,
                   const uint8_t* data, size_t length) {
    out[0] = uint8_t(FrameKind::whole);
    store_le16(out + 1, channel);
    store_le16(out + 3, generation);
    store_le16(out + 5, binding);
    if (length > 0) memcpy(out + WHOLE_HEADER, data, length);
    return WHOLE_HEADER + length;
}

size_t frames_for(size_t length) {
    return length <= WHOLE_DATA ? 1 : (length + PIECE_DATA - 1) / PIECE_DATA;
}

size_t piece_size_for(size_t length) {
    size_t count = frames_for(length);
    return (length + count - 1) / count;
}

size_t write_piece(uint8_t* out, uint16_t channel, uint16_t generation, uint16_t binding,
                   uint32_t datagram, const uint8_t* data, size_t length, size_t index) {
    size_t count = frames_for(length);
    size_t piece_size = piece_size_for(length);
    size_t offset = index * piece_size;
    size_t piece_length = length - offset < piece_size ? length - offset : piece_size;
    out[0] = uint8_t(FrameKind::piece);
    store_le16(out + 1, channel);
    store_le16(out + 3, generation);
    store_le16(out + 5, binding);
    store_le32(out + 7, datagram);
    out[11] = uint8_t(index);
    out[12] = uint8_t(count);
    memcpy(out + PIECE_HEADER, data + offset, piece_length);
    return PIECE_HEADER + piece_length;
}

Reassembly::Slot* Reassembly::slot_for(const Frame& piece, uint64_t now_us) {
    Slot* free_slot = nullptr;
    Slot* oldest = nullptr;
    for (Slot& candidate : slots_) {
        if (candidate.active && now_us - candidate.started_us >= PIECE_WAIT_US) {
            candidate.active = false;
            ++abandoned_;
        }
        if (!candidate.active) {
            if (free_slot == nullptr) free_slot = &candidate;
            continue;
        }
        if (candidate.datagram == piece.datagram && candidate.channel == piece.channel &&
            candidate.generation == piece.generation) {
            // Another count is another datagram under the same number: not this one's.
            return candidate.count == piece.count ? &candidate : nullptr;
        }
        if (oldest == nullptr || candidate.started_us < oldest->started_us) oldest = &candidate;
    }
    if (free_slot == nullptr) {
        ++abandoned_;
        free_slot = oldest;
    }
    Slot& slot = *free_slot;
    slot.active = true;
    slot.channel = piece.channel;
    slot.generation = piece.generation;
    slot.datagram = piece.datagram;
    slot.count = piece.count;
    slot.received = 0;
    slot.mask = 0;
    slot.started_us = now_us;
    slot.piece_size = 0;
    slot.last_length = 0;
    return &slot;
}

bool Reassembly::add(const Frame& piece, uint64_t now_us, Whole* whole) {
    Slot* slot = slot_for(piece, now_us);
    if (slot == nullptr) return false;
    uint64_t bit = uint64_t(1) << piece.index;
    if ((slot->mask & bit) != 0) return false;  // a copy the network made
    bool last = piece.index + 1 == piece.count;
    size_t before_last = size_t(piece.count - 1);
    // Pieces that disagree on their size, or would make the datagram too long, are not of
    // one datagram a kiv end cut: they are dropped, and the slot is given up in time.
    size_t size = last ? slot->piece_size : piece.length;
    if (!last && slot->piece_size != 0 && piece.length != slot->piece_size) return false;
    size_t last_length = last ? piece.length : slot->last_length;
    if (size != 0 && (last_length > size || before_last * size + last_length > MAX_APP_DATAGRAM)) {
        return false;
    }
    uint8_t* held_last = slot->bytes + MAX_APP_DATAGRAM - slot->last_length;
    if (!last && slot->piece_size == 0) {
        slot->piece_size = piece.length;
        // The last piece came first: now its place is known.
        if (slot->last_length > 0) {
            memmove(slot->bytes + before_last * piece.length, held_last, slot->last_length);
        }
    }
    slot->mask |= bit;
    ++slot->received;
    if (last) {
        slot->last_length = piece.length;
        uint8_t* place = slot->piece_size != 0 ? slot->bytes + before_last * slot->piece_size
                                               : slot->bytes + MAX_APP_DATAGRAM - piece.length;
        memcpy(place, piece.data, piece.length);
    } else {
        memcpy(slot->bytes + size_t(piece.index) * piece.length, piece.data, piece.length);
    }
    if (slot->received != slot->count) return false;
    slot->active = false;
    *whole = {slot->channel, slot->generation, slot->bytes,
              before_last * slot->piece_size + slot->last_length};
    return true;
}

void Reassembly::clear() {
    for (Slot& slot : slots_)
        slot.active = false;
}

int Reassembly::in_progress() const {
    int count = 0;
    for (const Slot& slot : slots_)
        count += slot.active ? 1 : 0;
    return count;
}

}  // namespace kiv::tunnel
