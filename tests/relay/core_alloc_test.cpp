// The relay allocates nothing once it is running: these tests build a core as the shell does,
// then count every allocation the process makes over a long random run of datagrams, clock
// steps and sweeps. The run itself is written to allocate nothing, so any count is the core's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "allocation_counter.hpp"
#include "event_input.hpp"
#include "relay/log.hpp"
#include "relay/relay.hpp"
#include "setting.hpp"

namespace kiv::test {
namespace {

// A small fast generator with no state on the heap.
struct Noise {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state >> 16);
    }
    uint32_t below(uint32_t limit) { return next() % limit; }
    static int draw(void* self) {
        auto* noise = static_cast<Noise*>(self);
        // Mostly tiny values, so that drawn ids collide and the search draws again.
        uint32_t bits = noise->next();
        return (bits & 3) != 0 ? int(bits >> 2 & 3) : int(bits >> 1);
    }
};

struct RunFigures {
    long events = 0;
    long sent = 0;
    long errors[5] = {};  // by error value
};

// Drives `relay` with `events` random events; touches only fixed buffers and the stack.
RunFigures random_run(Relay& relay, Noise& noise, long events) {
    static uint8_t buffer[MAX_DATAGRAM + 1];
    RunFigures figures;
    uint32_t now_ms = 0u - 30000u;  // the run crosses the clock's wrap
    uint32_t crowd = 0;
    for (; figures.events < events; ++figures.events) {
        uint32_t roll = noise.below(100);
        if (roll < 5) {
            // Now and then everyone falls silent long enough to be forgotten.
            now_ms += noise.below(100) == 0 ? TIMEOUT_MS + 1 : noise.below(2000);
            relay.sweep(now_ms);
            continue;
        }
        Peer source = fuzz::peer_address(uint8_t(noise.below(32)));
        if (roll < 20) {  // a stream of new hosts, so that the table fills up
            source = Peer::ipv4(0x0A000000u + crowd++ % 300, source.port());
        }
        // Half the clients crowd into the first open room, so that rooms fill up too; the
        // rest pick any slot of the table, which is often free: an unknown room.
        uint32_t open_id = noise.below(8);
        if (noise.below(2) == 0) {
            for (const Room& room : relay.table().rooms()) {
                if (room.id.value != 0) {
                    open_id = room.id.value;
                    break;
                }
            }
        } else if (const Room& room = relay.table().rooms()[noise.below(MAX_ROOMS)];
                   room.id.value != 0) {
            open_id = room.id.value;
        }
        size_t length = HEADER_SIZE + noise.below(64);
        MsgType type = MsgType::MSG_DATA;
        uint32_t value = open_id;
        if (roll < 25) {
            type = MsgType::MSG_OPEN;
            value = noise.below(3) == 0 ? open_id : noise.below(40);
        } else if (roll < 40) {
            value = noise.below(10);  // a host's tag, or a stray id
        } else if (roll < 44) {
            type = MsgType::MSG_CLOSE;
        } else if (roll < 50) {
            type = MsgType::MSG_LEAVE;
        } else if (roll < 53) {
            type = MsgType::MSG_PING;
        } else if (roll < 56) {
            length = noise.below(3) == 0 ? 65507 : MAX_DATAGRAM + 1;  // oversized
        } else if (roll < 60) {
            type = MsgType(noise.below(256));
        }
        header_write(buffer, type, value);
        if (roll >= 56 && roll < 58) buffer[OFFSET_VERSION] = uint8_t(noise.next());
        if (roll == 58) length = noise.below(HEADER_SIZE);
        if (roll == 59) buffer[noise.below(4)] ^= 0x20;
        Outgoing out = relay.handle(buffer, length, source, now_ms);
        if (out.length == 0) continue;
        ++figures.sent;
        if (buffer[OFFSET_TYPE] == uint8_t(MsgType::MSG_ERROR))
            ++figures.errors[header_value(buffer) % 5];
    }
    return figures;
}

// A sink as cheap as can be: it keeps the last line and counts them.
struct LastLine {
    char text[256];
    long lines = 0;
    static void write(void* self, const char* line) {
        auto* sink = static_cast<LastLine*>(self);
        snprintf(sink->text, sizeof sink->text, "%s", line);
        ++sink->lines;
    }
};

TEST(NoAllocation, CountingSeesAllocationsInsideTheCLibrary) {
    // Unless this count works, a zero below would prove nothing.
    allocation_counting_start();
    char* copy = strdup("allocated inside the C library");
    auto owned = std::make_unique<int>(7);
    AllocationCount count = allocation_counting_stop();
    free(copy);
    EXPECT_GE(count.total(), 2) << allocation_counting_method();
}

TEST(NoAllocation, CoreAllocatesNothingAfterStartUp) {
    const long events = long(setting("KIV_ALLOC_EVENTS", 300000));
    Noise noise{0x9E3779B97F4A7C15u};
    LastLine sink;
    auto relay =
        std::make_unique<Relay>(RandomSource{Noise::draw, &noise}, LogSink{LastLine::write, &sink});

    allocation_counting_start();
    RunFigures figures = random_run(*relay, noise, events);
    AllocationCount count = allocation_counting_stop();

    printf(
        "%ld events, %ld datagrams sent (errors 1-4: %ld %ld %ld %ld), %ld log lines: "
        "%ld allocations (%s)\n",
        figures.events, figures.sent, figures.errors[1], figures.errors[2], figures.errors[3],
        figures.errors[4], sink.lines, count.total(), allocation_counting_method());
    EXPECT_EQ(count.by_malloc, 0);
    EXPECT_EQ(count.by_new, 0);
    // The run must reach every refusal and plenty of events worth a line, or it proves little.
    EXPECT_GT(sink.lines, events / 100);
    for (int error = 1; error <= 4; ++error)
        EXPECT_GT(figures.errors[error], 0) << error;
}

// The shell's own sink: every line through logf_ to standard output, here sent to
// /dev/null. Start-up is what main does before the loop: tzset and the banner.
TEST(NoAllocation, LoggingToStandardOutputAllocatesNothingAfterStartUp) {
    const long events = long(setting("KIV_ALLOC_EVENTS", 300000)) / 3;
    fflush(stdout);
    int saved_stdout = dup(STDOUT_FILENO);
    int null_output = open("/dev/null", O_WRONLY);
    ASSERT_GE(saved_stdout, 0);
    ASSERT_GE(null_output, 0);
    dup2(null_output, STDOUT_FILENO);

    Noise noise{0xD1B54A32D192ED03u};
    auto write_line = [](void*, const char* line) { logf_("%s", line); };
    auto relay =
        std::make_unique<Relay>(RandomSource{Noise::draw, &noise}, LogSink{write_line, nullptr});
    tzset();
    logf_("kiv-relay listening on UDP %d (protocol %d, %d rooms max)", 0, 1, MAX_ROOMS);

    allocation_counting_start();
    RunFigures figures = random_run(*relay, noise, events);
    AllocationCount count = allocation_counting_stop();

    fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(null_output);
    printf("%ld events through logf_: %ld allocations (%s)\n", figures.events, count.total(),
           allocation_counting_method());
    EXPECT_EQ(count.total(), 0);
}

}  // namespace
}  // namespace kiv::test
