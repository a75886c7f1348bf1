// Decimal numbers as people type them on a command line or in a line of text: digits only,
// with no sign, no blanks and nothing after them. Every number the programs read from text
// goes through this one parser.
#pragma once

#include <charconv>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace kiv {

// True, with *value set, when `text` is exactly a decimal number from `minimum` to `maximum`;
// otherwise *value is left alone.
template <typename Number>
bool parse_decimal(std::string_view text, Number minimum, Number maximum, Number* value) {
    static_assert(std::is_integral_v<Number>);
    // from_chars would take a minus sign for a signed type.
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    Number number{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end || number < minimum || number > maximum) return false;
    *value = number;
    return true;
}

// How many decimal digits `text` starts with, counting at most `most`.
inline size_t decimal_digits(std::string_view text, size_t most) {
    size_t digits = 0;
    while (digits < text.size() && digits < most && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    return digits;
}

}  // namespace kiv
