// The environment that preloads one of the test shims into the relay.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace kiv::test {

// `libraries`: one path, or several separated by ':'.
inline std::vector<std::string> preload_env(const std::string& libraries) {
    // A sanitized relay refuses to start when a preloaded library comes ahead of its
    // runtime; the shims only pass calls on, so that order does no harm.
    std::string asan_options = "verify_asan_link_order=0";
    if (const char* given = getenv("ASAN_OPTIONS")) asan_options = given + (":" + asan_options);
    return {"LD_PRELOAD=" + libraries, "ASAN_OPTIONS=" + asan_options};
}

}  // namespace kiv::test
