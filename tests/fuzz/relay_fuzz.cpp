// The relay core's fuzz target: the input is a stream of events for the differential driver
// (tests/model/differential.hpp); the first broken rule or difference from the reference
// model stops the process. Without libFuzzer, replay_main.cpp feeds it the committed seed
// and crash inputs, so every past crash stays a test under gcc.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "differential.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string fault = kiv::fuzz::differential_run(data, size);
    if (!fault.empty()) {
        fprintf(stderr, "relay_fuzz: %s\n", fault.c_str());
        abort();
    }
    return 0;
}
