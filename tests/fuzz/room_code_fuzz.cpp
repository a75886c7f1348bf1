// Fuzz target for reading a room code someone typed or pasted: any text is either refused
// with a reason that fits it, or read as an id in range whose code is the text itself
// (letters in either case). And every id written as a code reads back as itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wire/protocol.hpp"
#include "wire/room_code.hpp"

namespace {

[[noreturn]] void fail(const char* fault, const std::string& text) {
    fprintf(stderr, "room_code_fuzz: \"%s\": %s\n", text.c_str(), fault);
    abort();
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool in_alphabet(char c) {
    return c != '\0' && strchr(kiv::CODE_ALPHABET, upper(c)) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text as a C string ends at the first zero byte, as it would on a command line.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(strlen(text.c_str()));
    kiv::CodeParse parsed = kiv::room_code_parse(text.c_str());
    switch (parsed.error) {
        case kiv::CodeError::wrong_length:
            if (text.size() == kiv::CODE_LENGTH)
                fail("a 5-character text refused as the wrong length", text);
            break;
        case kiv::CodeError::bad_character:
            if (text.size() != kiv::CODE_LENGTH)
                fail("a bad character in a text of the wrong length", text);
            if (parsed.position >= kiv::CODE_LENGTH || in_alphabet(text[parsed.position])) {
                fail("a bad character at a position that holds a good one", text);
            }
            for (size_t i = 0; i < parsed.position; ++i) {
                if (!in_alphabet(text[i])) fail("not the first bad character", text);
            }
            break;
        case kiv::CodeError::none: {
            if (!parsed.id.valid()) fail("an id out of range", text);
            std::string expected;
            for (char c : text)
                expected += upper(c);
            if (expected != kiv::room_code(parsed.id))
                fail("an id whose code is another text", text);
            break;
        }
        default:
            fail("an unknown error", text);
    }
    // The other way round: the first four bytes as an id in range, written and read back.
    uint32_t id = 1;
    if (size >= 4) id = 1 + kiv::load_le32(data) % kiv::MAX_ROOM_ID;
    kiv::CodeParse back = kiv::room_code_parse(kiv::room_code(kiv::RoomId(id)));
    if (back.error != kiv::CodeError::none || back.id != kiv::RoomId(id))
        fail("a code that does not read back", kiv::room_code(kiv::RoomId(id)));
    return 0;
}
