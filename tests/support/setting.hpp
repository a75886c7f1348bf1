// A test's knob from the environment: a number, or `fallback` when the variable is unset
// or empty, so that a long or a replayed run needs no rebuild.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace kiv::test {

inline uint64_t setting(const char* name, uint64_t fallback) {
    const char* text = getenv(name);
    return text != nullptr && *text != '\0' ? strtoull(text, nullptr, 10) : fallback;
}

}  // namespace kiv::test
