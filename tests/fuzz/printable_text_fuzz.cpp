// Fuzz target for what kiv prints of a peer's payload: whatever a peer sends, the text is no
// longer than the payload, is valid UTF-8 with no control a terminal acts on (C0 but tab,
// DEL, C1, the line and paragraph separators, the bidirectional controls), keeps every byte
// of plain text as sent, and is its own printable text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kiv/cli.hpp"

namespace {

[[noreturn]] void fail(const char* fault) {
    fprintf(stderr, "printable_text_fuzz: %s\n", fault);
    abort();
}

// Decodes one well-formed UTF-8 sequence at `text` (of `left` bytes); 0 if there is none.
size_t decode(const uint8_t* text, size_t left, uint32_t* code_point) {
    uint8_t lead = text[0];
    size_t length = lead < 0x80       ? 1
                    : lead >> 5 == 6  ? 2
                    : lead >> 4 == 14 ? 3
                    : lead >> 3 == 30 ? 4
                                      : 0;
    if (length == 0 || length > left) return 0;
    uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = value << 6 | (text[i] & 0x3F);
    }
    static constexpr uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < SMALLEST[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code_point = value;
    return length;
}

bool steers_terminal(uint32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Buffers of exactly the sizes the function is promised, so that an overrun is caught.
    std::unique_ptr<uint8_t[]> payload(new uint8_t[size + 1]);
    if (size > 0) memcpy(payload.get(), data, size);
    std::unique_ptr<char[]> text(new char[size + 1]);
    size_t length = kiv::cli::printable_text(payload.get(), size, text.get());
    if (length > size) fail("the text is longer than the payload");
    const auto* shown = reinterpret_cast<const uint8_t*>(text.get());
    for (size_t i = 0; i < length;) {
        uint32_t code_point = 0;
        size_t sequence = decode(shown + i, length - i, &code_point);
        if (sequence == 0) fail("the text is not valid UTF-8");
        if (steers_terminal(code_point)) fail("the text holds a control a terminal acts on");
        i += sequence;
    }
    // Plain printable ASCII goes through untouched, byte for byte and in place.
    bool plain = true;
    for (size_t i = 0; i < size && plain; ++i)
        plain = (data[i] >= 0x20 && data[i] < 0x7F) || data[i] == '\t';
    if (plain && (length != size || memcmp(text.get(), data, size) != 0)) {
        fail("plain text was changed");
    }
    std::unique_ptr<char[]> again(new char[length + 1]);
    size_t again_length = kiv::cli::printable_text(shown, length, again.get());
    if (again_length != length || memcmp(again.get(), text.get(), length) != 0) {
        fail("the printable text of a printable text differs from it");
    }
    return 0;
}
