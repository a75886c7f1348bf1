// Room ids as people see them: a 5-character code, the id minus 1 in base 32 over an alphabet
// without the letters and digits that are easily mixed up (I, O, 0, 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/values.hpp"

namespace kiv {

inline constexpr char CODE_ALPHABET[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
static_assert(sizeof(CODE_ALPHABET) - 1 == 32, "a code digit carries 5 bits");
inline constexpr size_t CODE_LENGTH = 5;

// The code of an id in 1..2^25, written with its terminating NUL into the caller's buffer, so
// that any number of threads may format codes at once.
using RoomCodeText = char[CODE_LENGTH + 1];
void room_code(RoomId id, RoomCodeText& code);
// The same in a static buffer valid until the next call: for the relay's single-threaded log.
const char* room_code(RoomId id);

// Reading a code back, for people who type or paste one: letters in either case; anything
// else is refused with the reason, never guessed at (an O is not taken for a 0).
enum class CodeError : uint8_t { none, wrong_length, bad_character };
struct CodeParse {
    RoomId id;  // valid when error is none
    CodeError error;
    size_t position;  // of the offending character, for bad_character
};
CodeParse room_code_parse(const char* text);

}  // namespace kiv
