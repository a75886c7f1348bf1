// What kiv prints of a peer's payload: text as sent, and '?' for whatever could steer the
// terminal or is not UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "kiv/cli.hpp"

namespace kiv::cli {
namespace {

std::string shown(const std::string& payload) {
    std::string out(payload.size(), '\0');
    size_t length = printable_text(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                   out.data());
    out.resize(length);
    return out;
}

TEST(PrintableText, TextPrintsAsSent) {
    EXPECT_EQ(shown("hello, world\t!"), "hello, world\t!");
    EXPECT_EQ(shown("gr\xC3\xBC\xC3\x9F dich \xE2\x82\xAC \xF0\x9F\x99\x82"),
              "gr\xC3\xBC\xC3\x9F dich \xE2\x82\xAC \xF0\x9F\x99\x82");
    EXPECT_EQ(shown("\xC2\xA0\xEF\xBF\xBD\xF4\x8F\xBF\xBF"),
              "\xC2\xA0\xEF\xBF\xBD\xF4\x8F\xBF\xBF");
}

TEST(PrintableText, ControlsBecomeQuestionMarks) {
    EXPECT_EQ(shown("a\x1B[2Jb\rc\x7F"), "a?[2Jb?c?");
    EXPECT_EQ(shown(std::string("\0x", 2)), "?x");
    EXPECT_EQ(shown("\xC2\x80\xC2\x9B\xC2\x9F"), "???");                           // C1
    EXPECT_EQ(shown("\xE2\x80\xA8\xE2\x80\xA9"), "??");                            // separators
    EXPECT_EQ(shown("\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9"), "????");  // bidi
    EXPECT_EQ(shown("\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"),
              "\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA");  // their neighbours print
}

TEST(PrintableText, InvalidUtf8BecomesQuestionMarks) {
    EXPECT_EQ(shown("\x9B"), "?");                      // a raw C1 byte
    EXPECT_EQ(shown("\xC0\xAF\xE0\x80\xAF"), "?????");  // overlong forms
    EXPECT_EQ(shown("\xED\xA0\x80"), "???");            // a surrogate
    EXPECT_EQ(shown("\xF4\x90\x80\x80\xF8"), "?????");  // beyond U+10FFFF
    EXPECT_EQ(shown("ok\xE2\x82"), "ok??");             // cut short at the end
    EXPECT_EQ(shown("\xE2\x82x"), "??x");               // cut short by an ASCII byte
}

}  // namespace
}  // namespace kiv::cli
