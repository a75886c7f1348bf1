// What the relay core is handed in place of the system: a scripted random source and a log
// collector, shared by the core's tests and the differential driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "relay/relay.hpp"
#include "relay/rooms.hpp"

namespace kiv::test {

// Draws the values of a script in order; a draw past its end is a fault of the test (it
// throws, which fails the test). A seeded source instead draws without end, three draws in
// four tiny, so that candidate ids repeat and collide with open rooms, the rest over the
// whole range.
class ScriptedRandom {
  public:
    explicit ScriptedRandom(std::vector<int> script = {}) : values_(std::move(script)) {}
    static ScriptedRandom seeded(uint64_t seed) {
        ScriptedRandom random;
        random.seeded_ = true;
        random.state_ = seed;
        return random;
    }

    int next() {
        ++drawn_;
        if (!seeded_) return values_.at(drawn_ - 1);
        state_ = state_ * 6364136223846793005u + 1442695040888963407u;
        uint32_t bits = uint32_t(state_ >> 32);
        return (bits & 3) != 0 ? int(bits >> 2 & 3) : int(bits >> 1);
    }
    RandomSource source() { return {draw, this}; }
    size_t drawn() const { return drawn_; }

  private:
    static int draw(void* self) { return static_cast<ScriptedRandom*>(self)->next(); }

    std::vector<int> values_;
    size_t drawn_ = 0;
    bool seeded_ = false;
    uint64_t state_ = 0;
};

// Keeps every line the core logs.
class LogCollector {
  public:
    LogSink sink() { return {write, this}; }
    const std::vector<std::string>& lines() const { return lines_; }
    // The lines since the last take, and forgets them.
    std::vector<std::string> take() { return std::exchange(lines_, {}); }

  private:
    static void write(void* self, const char* line) {
        static_cast<LogCollector*>(self)->lines_.emplace_back(line);
    }

    std::vector<std::string> lines_;
};

}  // namespace kiv::test
