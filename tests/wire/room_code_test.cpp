// Room codes as people see them: written from an id, and read back from what someone typed.
#include "wire/room_code.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "wire/protocol.hpp"

namespace kiv {
namespace {

TEST(RoomCode, ListedExamplesReadBackAsTheirIds) {
    const std::pair<uint32_t, const char*> examples[] = {
        {1, "AAAAA"},  {2, "AAAAB"},        {32, "AAAA9"},         {33, "AAABA"},
        {70, "AAACF"}, {12345678, "M22LP"}, {MAX_ROOM_ID, "99999"}};
    for (const auto& [id, code] : examples) {
        EXPECT_STREQ(room_code(RoomId(id)), code);
        CodeParse parsed = room_code_parse(code);
        EXPECT_EQ(parsed.error, CodeError::none) << code;
        EXPECT_EQ(parsed.id, RoomId(id)) << code;
    }
    for (uint32_t id = 1; id <= MAX_ROOM_ID; id += 99991) {
        std::string code = room_code(RoomId(id));
        EXPECT_EQ(room_code_parse(code.c_str()).id, RoomId(id)) << code;
    }
}

TEST(RoomCode, NeverUsesLookalikeCharacters) {
    for (uint32_t id = 1; id <= MAX_ROOM_ID; id += 9973) {
        const char* code = room_code(RoomId(id));
        ASSERT_EQ(strlen(code), 5u);
        EXPECT_EQ(strpbrk(code, "IO01"), nullptr) << code;
    }
}

TEST(RoomCodeParse, IgnoresCase) {
    EXPECT_EQ(room_code_parse("m22lp").id, RoomId(12345678));
    EXPECT_EQ(room_code_parse("M22lP").id, RoomId(12345678));
}

TEST(RoomCodeParse, RefusesWrongLengthAndForeignCharacters) {
    for (const char* text : {"", "AAAA", "AAAAAA", "M22LP "}) {
        EXPECT_EQ(room_code_parse(text).error, CodeError::wrong_length) << '"' << text << '"';
    }
    const std::pair<const char*, size_t> bad[] = {{"IAAAA", 0},
                                                  {"AOAAA", 1},
                                                  {"AA0AA", 2},
                                                  {"AAA1A", 3},
                                                  {"AAAA-", 4},
                                                  {"AA AA", 2},
                                                  {"AA\xC3\x89"
                                                   "A",
                                                   2},
                                                  {"aaaai", 4}};
    for (const auto& [text, position] : bad) {
        CodeParse parsed = room_code_parse(text);
        EXPECT_EQ(parsed.error, CodeError::bad_character) << text;
        EXPECT_EQ(parsed.position, position) << text;
    }
}

}  // namespace
}  // namespace kiv
