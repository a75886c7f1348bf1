// The differential driver both the fuzzer (libFuzzer's bytes) and the model test (seeded
// byte streams) feed: it reads the bytes as events (event_input.hpp), drives the relay core
// and the reference model with them, and stops at the first broken rule or difference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace kiv::fuzz {

// How often each outcome came up ("joined as", "error 2", "throttled", "coalesced run",
// ...), so that a caller can show its inputs went everywhere.
using Outcomes = std::map<std::string, long>;

// Runs one input from a fresh relay and model; returns the first fault as text ("after a
// datagram: ..."), or an empty text when they agreed throughout. `outcomes` may be null.
std::string differential_run(const uint8_t* data, size_t size, Outcomes* outcomes = nullptr);

}  // namespace kiv::fuzz
