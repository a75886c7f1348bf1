#include "wire/room_code.hpp"

namespace kiv {

void room_code(RoomId id, RoomCodeText& code) {
    uint32_t digits = id.value - 1;
    for (int i = int(CODE_LENGTH) - 1; i >= 0; --i) {
        code[size_t(i)] = CODE_ALPHABET[digits % 32];
        digits >>= 5;
    }
    code[CODE_LENGTH] = '\0';
}

const char* room_code(RoomId id) {
    static RoomCodeText code;
    room_code(id, code);
    return code;
}

CodeParse room_code_parse(const char* text) {
    size_t length = 0;
    while (length <= CODE_LENGTH && text[length] != '\0')
        ++length;
    if (length != CODE_LENGTH) return {RoomId(), CodeError::wrong_length, 0};
    uint32_t digits = 0;
    for (size_t i = 0; i < CODE_LENGTH; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        uint32_t digit = 0;
        while (digit < 32 && CODE_ALPHABET[digit] != c)
            ++digit;
        if (digit == 32) return {RoomId(), CodeError::bad_character, i};
        digits = digits << 5 | digit;
    }
    return {RoomId(digits + 1), CodeError::none, 0};
}

}  // namespace kiv
