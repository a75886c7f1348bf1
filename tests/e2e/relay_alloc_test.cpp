// The real relay allocates nothing once it is running: alloc_count_shim counts every heap
// call of the process and splits the count at the first wait of the event loop. The load
// reaches every handler and every kind of log line, the liveness sweep's included (under
// libfaketime, so that a minute of silence passes in seconds).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "preload_env.hpp"
#include "relay/settings.hpp"
#include "relay_process.hpp"
#include "shim_alloc_counts.hpp"

namespace kiv::test {
namespace {

// The relay's clock runs this many times faster than real time in this test.
constexpr int CLOCK_SPEED = 6;

AllocCounters read_counters(const std::string& path) {
    AllocCounters counters{};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        EXPECT_EQ(pread(fd, &counters, sizeof counters, 0), ssize_t(sizeof counters));
        close(fd);
    }
    return counters;
}

std::string first_sizes(const AllocCounters& counters) {
    std::string text;
    for (uint64_t i = 0; i < counters.in_loop && i < AllocCounters::SIZES_KEPT; ++i) {
        text += std::to_string(counters.first_sizes[i]) + " ";
    }
    return text;
}

Bytes data(uint32_t value, size_t payload_length) {
    return test::data(value, Bytes(payload_length, 0x5A));
}

// Counts the relay's log lines by the event they report, reading them as they come so
// that the pipe never fills and stalls the relay.
class LogTally {
  public:
    explicit LogTally(RelayProcess& relay) : relay_(relay) {}

    // Reads lines until `kind` has been seen `count` times or the wait runs out.
    bool wait_for(const std::string& kind, int count, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (seen_[kind] < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            std::optional<std::string> line = relay_.next_message(left);
            if (!line) return false;
            std::string line_kind = kind_of(*line);
            if (line_kind.empty()) unexpected_.push_back(*line);
            ++seen_[line_kind];
        }
        return true;
    }
    int seen(const std::string& kind) { return seen_[kind]; }
    const std::vector<std::string>& unexpected() const { return unexpected_; }

  private:
    static std::string kind_of(const std::string& line) {
        for (const char* kind :
             {"opened by", "joined as", " left", "host closed it", "host silent", "timed out"}) {
            if (line.find(kind) != std::string::npos) return kind;
        }
        return "";
    }

    RelayProcess& relay_;
    std::map<std::string, int> seen_;
    std::vector<std::string> unexpected_;
};

TEST(NoAllocationAfterStartUp, UnderLoadOfEveryMessageTypeAndTheSweep) {
#ifdef KIV_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizer runtime owns malloc; the plain build runs this test";
#endif
    const std::string counter_file =
        ::testing::TempDir() + "kiv_alloc_counters_" + std::to_string(getpid());
    std::vector<std::string> env = fast_clock_env(CLOCK_SPEED, KIV_ALLOC_SHIM_PATH);
    env.push_back("KIV_ALLOC_COUNT_FILE=" + counter_file);
    RelayProcess relay({"0"}, env);
    LogTally log(relay);
    const uint16_t port = relay.port();
    int sent = 0;
    auto exchange = [&](const Peer& from, const Bytes& datagram, const Peer& to) {
        from.send_to(port, datagram);
        ++sent;
        return to.receive();
    };

    // Fill the table: 256 rooms, and one host too many.
    std::vector<std::unique_ptr<Peer>> hosts;
    std::vector<uint32_t> room_ids;
    for (int i = 0; i <= MAX_ROOMS; ++i) {
        // Spread over loopback addresses: one address may host only ROOMS_PER_ADDRESS rooms.
        hosts.push_back(std::make_unique<Peer>(INADDR_LOOPBACK + uint32_t(i % 16)));
        std::optional<Bytes> reply = exchange(*hosts.back(), header(MSG_OPEN, 0), *hosts.back());
        ASSERT_TRUE(reply);
        if (i < MAX_ROOMS) {
            ASSERT_EQ((*reply)[4], 2);
            room_ids.push_back(value_of(*reply));
        } else {
            ASSERT_EQ(*reply, error(ERR_NO_FREE_ROOM));
        }
    }
    ASSERT_TRUE(log.wait_for("opened by", MAX_ROOMS, WAIT));

    // Eight clients in each of the first 16 rooms, a ninth refused, traffic both ways with
    // payloads of every size up to the limit, and datagrams the relay refuses or drops.
    constexpr int BUSY_ROOMS = 16, ROUNDS = 14;
    std::vector<std::unique_ptr<Peer>> clients;
    for (int room = 0; room < BUSY_ROOMS; ++room) {
        // A client on an address per room: 128 joins from one address would be over its
        // event budget.
        for (int slot = 0; slot < 8; ++slot)
            clients.push_back(std::make_unique<Peer>(INADDR_LOOPBACK + 16 + uint32_t(room)));
    }
    Peer stranger;
    for (int round = 0; round < ROUNDS; ++round) {
        for (size_t c = 0; c < clients.size(); ++c) {
            int room = int(c / 8);
            size_t length = (c * 131 + size_t(round) * 977) % 1401;
            ASSERT_TRUE(exchange(*clients[c], data(room_ids[room], length), *hosts[room]));
            uint32_t tag = uint32_t(c % 8 + 1);
            ASSERT_TRUE(exchange(*hosts[room], data(tag, length / 2), *clients[c]));
        }
        ASSERT_EQ(exchange(stranger, data(room_ids[round], 0), stranger), error(ERR_ROOM_FULL));
        ASSERT_EQ(exchange(stranger, data(0, 3), stranger), error(ERR_NO_ROOM));
        ASSERT_EQ(exchange(stranger, header(MSG_PING, uint32_t(round)), stranger),
                  header(MSG_PONG, uint32_t(round)));
        ASSERT_EQ(exchange(stranger, header(MSG_OPEN, 0, 9), stranger), error(ERR_BAD_VERSION));
        for (const Bytes& dropped :
             {Bytes(11, 'K'), Bytes(1413, 0), data(room_ids[0], 1401), header(MsgType(9), 0),
              header(MSG_OPENED, 0), header(MSG_LEAVE, 0), header(MSG_CLOSE, 0)}) {
            stranger.send_to(port, dropped);
            ++sent;
        }
    }
    ASSERT_TRUE(log.wait_for("joined as", BUSY_ROOMS * 8, WAIT));

    // Churn: half the clients of rooms 0..7 leave, the other half move to a room that has
    // room for them once rooms 8..15 are closed and reopened by their hosts.
    for (int room = 8; room < BUSY_ROOMS; ++room) {
        hosts[room]->send_to(port, header(MSG_CLOSE, 0));
        ASSERT_TRUE(exchange(*hosts[room], header(MSG_OPEN, room_ids[room]), *hosts[room]));
        sent += 1;
    }
    for (int c = 0; c < 64; ++c) {
        int target = 8 + c / 8;
        if (c % 2 == 0) {
            clients[size_t(c)]->send_to(port, header(MSG_LEAVE, 0));
            ++sent;
        } else {
            ASSERT_TRUE(exchange(*clients[size_t(c)], data(room_ids[size_t(target)], 8),
                                 *hosts[size_t(target)]));
        }
    }
    ASSERT_TRUE(log.wait_for("host closed it", 8, WAIT));
    ASSERT_TRUE(log.wait_for("opened by", MAX_ROOMS + 8, WAIT));
    ASSERT_TRUE(log.wait_for(" left", 32, WAIT));
    ASSERT_TRUE(log.wait_for("joined as", BUSY_ROOMS * 8 + 32, WAIT));

    // The sweep: rooms 8..15 stay open by their hosts' keep-alive while their clients fall
    // silent and time out; every other room's host is silent and loses its room.
    auto sweep_deadline = std::chrono::steady_clock::now() + 60s;
    while (log.seen("timed out") < 32 || log.seen("host silent") < MAX_ROOMS - 8) {
        ASSERT_LT(std::chrono::steady_clock::now(), sweep_deadline)
            << "timed out: " << log.seen("timed out")
            << ", host silent: " << log.seen("host silent");
        for (int room = 8; room < BUSY_ROOMS; ++room) {
            ASSERT_TRUE(exchange(*hosts[size_t(room)], header(MSG_OPEN, 0), *hosts[size_t(room)]));
        }
        log.wait_for("timed out", 32, 200ms);
        log.wait_for("host silent", MAX_ROOMS - 8, 200ms);
    }
    ASSERT_TRUE(exchange(stranger, header(MSG_PING, 77), stranger));  // everything sent is handled

    AllocCounters counters = read_counters(counter_file);
    unlink(counter_file.c_str());
    EXPECT_EQ(counters.loop_started, 1u) << "the shim saw no wait: did it load?";
    EXPECT_GT(counters.before_loop, 0u) << "the shim saw no start-up allocation: is it counting?";
    EXPECT_GT(counters.polls, 10u);
    EXPECT_EQ(counters.in_loop, 0u) << "sizes of the first: " << first_sizes(counters);
    EXPECT_EQ(counters.frees_in_loop, 0u);
    EXPECT_GT(sent, 4000);
    EXPECT_TRUE(log.unexpected().empty()) << log.unexpected().front();
    RecordProperty("datagrams_sent", sent);
    RecordProperty("allocations_at_start_up", int(counters.before_loop));
    RecordProperty("allocations_after_start_up", int(counters.in_loop));
    printf("%d datagrams; allocations at start-up %llu, after %llu (frees after %llu)\n", sent,
           (unsigned long long)counters.before_loop, (unsigned long long)counters.in_loop,
           (unsigned long long)counters.frees_in_loop);
}

}  // namespace
}  // namespace kiv::test
