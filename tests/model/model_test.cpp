// Differential test: the relay core and the reference model are fed the same seeded random
// byte streams through the differential driver (differential.hpp, the fuzzer's own), and
// must agree on every datagram sent (bytes and destination), every log line, every draw and
// the whole table after every event. A failure names its seed; KIV_MODEL_SEED=<seed>
// KIV_MODEL_SEQUENCES=1 replays just that one.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "differential.hpp"
#include "setting.hpp"

namespace kiv::test {
namespace {

// Long enough for rooms to fill, time out and be swept within one stream.
constexpr size_t STREAM_BYTES = 3000;

TEST(ModelDifferential, CoreAndModelAgreeOnRandomSequences) {
    const uint64_t first_seed = setting("KIV_MODEL_SEED", 1);
    const uint64_t sequences =
        setting("KIV_MODEL_SEQUENCES", setting("KIV_MODEL_DEFAULT_SEQUENCES", 2000));
    fuzz::Outcomes outcomes;
    std::vector<uint8_t> stream(STREAM_BYTES);
    for (uint64_t seed = first_seed; seed < first_seed + sequences; ++seed) {
        std::mt19937_64 random(seed);
        for (uint8_t& byte : stream)
            byte = uint8_t(random());
        std::string fault = fuzz::differential_run(stream.data(), stream.size(), &outcomes);
        ASSERT_EQ(fault, "") << "seed " << seed << " (rerun: KIV_MODEL_SEED=" << seed
                             << " KIV_MODEL_SEQUENCES=1)";
    }
    std::string seen;
    for (const auto& [kind, count] : outcomes)
        seen += " " + kind + "=" + std::to_string(count);
    printf("%llu streams of %zu bytes:%s\n", (unsigned long long)sequences, STREAM_BYTES,
           seen.c_str());
    // The streams must reach every outcome, or agreeing would prove little.
    for (const char* kind : {"(re-opened)", "opened by", "joined as", "left", "timed out",
                             "host closed it", "host silent", "error 1", "error 2", "error 3",
                             "error 4", "coalesced run", "throttled", "challenged", "reflected"}) {
        EXPECT_GT(outcomes[kind], 0) << kind;
    }
}

}  // namespace
}  // namespace kiv::test
