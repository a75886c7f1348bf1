// The environment that preloads libraries into the relay: the test shims and libfaketime.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#ifndef KIV_FAKETIME_LIB
#error "KIV_FAKETIME_LIB must name libfaketime"
#endif

namespace kiv::test {

// `libraries`: one path, or several separated by ':'.
inline std::vector<std::string> preload_env(const std::string& libraries) {
    // A sanitized relay refuses to start when a preloaded library comes ahead of its
    // runtime; these libraries only pass calls on, so that order does no harm.
    std::string asan_options = "verify_asan_link_order=0";
    if (const char* given = getenv("ASAN_OPTIONS")) asan_options = given + (":" + asan_options);
    return {"LD_PRELOAD=" + libraries, "ASAN_OPTIONS=" + asan_options};
}

// The relay's monotonic clock, its log stamps and its waits run `speed` times faster than
// real time, so that a minute of silence passes in seconds; `libraries` are preloaded too.
inline std::vector<std::string> fast_clock_env(int speed, const std::string& libraries = "") {
    std::vector<std::string> env =
        preload_env(libraries.empty() ? KIV_FAKETIME_LIB : libraries + ":" + KIV_FAKETIME_LIB);
    env.push_back("FAKETIME=+0 x" + std::to_string(speed));
    return env;
}

}  // namespace kiv::test
