// The hand-over across a restart, with the test as the service manager that keeps the
// relay's descriptors (service_manager.hpp): rooms and datagrams survive a restart, and a
// snapshot that cannot be trusted is refused with one line while the socket is still taken.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_steps.hpp"
#include "relay/snapshot.hpp"
#include "service_manager.hpp"

namespace kiv::test {
namespace {

constexpr int CLIENTS = 3;
// Datagrams each peer sends in each phase of the restart: few enough that the test peers'
// receive queues hold all four phases, which they read only at the end.
constexpr int PER_PHASE = 10;

Bytes numbered(int phase, int i) {
    return {uint8_t(phase), uint8_t(i)};
}

TEST(HandOver, RestartUnderTrafficLosesNothing) {
    ServiceManager manager;
    std::unique_ptr<RelayProcess> old_relay = manager.start({"--hand-over", "0"});
    uint16_t port = old_relay->port();
    Peer host;
    std::vector<std::unique_ptr<Peer>> clients;
    uint32_t id = open_room(*old_relay, host);
    for (int c = 0; c < CLIENTS; ++c) {
        clients.push_back(std::make_unique<Peer>());
        join(*old_relay, host, *clients.back(), id, uint32_t(c + 1), c + 1);
    }
    // Phase 0 while the old relay serves, 1 right after SIGTERM, 2 once it has exited and
    // before the new one starts, 3 after: what no process reads waits in the socket's queue.
    auto send_phase = [&](int phase) {
        for (int i = 0; i < PER_PHASE; ++i) {
            for (int c = 0; c < CLIENTS; ++c) {
                clients[size_t(c)]->send_to(port, data(id, numbered(phase, i)));
                host.send_to(port, data(uint32_t(c + 1), numbered(phase, i)));
            }
        }
    };
    send_phase(0);
    kill(old_relay->pid(), SIGTERM);
    send_phase(1);
    ASSERT_EQ(manager.stop(*old_relay), std::optional<int>(0));
    send_phase(2);
    std::unique_ptr<RelayProcess> new_relay = manager.start({"--hand-over", std::to_string(port)});
    EXPECT_EQ(new_relay->port(), port);
    EXPECT_EQ(next_message(*new_relay),
              "hand-over: took 1 room(s) and 3 client(s) from the last process");
    send_phase(3);
    for (int phase = 0; phase < 4; ++phase) {
        for (int i = 0; i < PER_PHASE; ++i) {
            for (int c = 0; c < CLIENTS; ++c) {
                SCOPED_TRACE("phase " + std::to_string(phase) + " datagram " + std::to_string(i));
                ASSERT_EQ(receive_hex(host), to_hex(data(uint32_t(c + 1), numbered(phase, i))));
            }
        }
    }
    for (int c = 0; c < CLIENTS; ++c) {
        for (int phase = 0; phase < 4; ++phase) {
            for (int i = 0; i < PER_PHASE; ++i)
                ASSERT_EQ(receive_hex(*clients[size_t(c)]), to_hex(data(0, numbered(phase, i))));
        }
    }
    EXPECT_TRUE(new_relay->quiet_for(std::chrono::milliseconds(100)));
}

// The stored snapshot, read back, changed by `change` and stored again in a new memory file.
void change_snapshot(ServiceManager& manager, void (*change)(std::vector<uint8_t>&)) {
    int stored = -1;
    for (auto& [name, fd] : manager.stored()) {
        if (name == "snapshot") stored = fd;
    }
    ASSERT_GE(stored, 0);
    std::vector<uint8_t> bytes(size_t(lseek(stored, 0, SEEK_END)));
    ASSERT_EQ(pread(stored, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    change(bytes);
    int changed = memfd_create("changed", MFD_CLOEXEC);
    ASSERT_EQ(write(changed, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    manager.replace("snapshot", changed);
}

void seal_checksum(std::vector<uint8_t>& bytes) {
    uint64_t sum = snapshot_checksum(bytes.data() + 24, bytes.size() - 24);
    for (int i = 0; i < 8; ++i)
        bytes[size_t(16 + i)] = uint8_t(sum >> (8 * i));
}

struct Refusal {
    void (*change)(std::vector<uint8_t>&);
    const char* why;
};

TEST(HandOver, RefusedSnapshotStartsEmptyOnTheSameSocket) {
    const Refusal refusals[] = {
        {[](std::vector<uint8_t>& b) { b.back() ^= 1; }, "its checksum is wrong"},
        {[](std::vector<uint8_t>& b) { b[8] = 99, seal_checksum(b); },
         "its layout is not one this build knows"},
        {[](std::vector<uint8_t>& b) { b[24] ^= 1, seal_checksum(b); },
         "it was made on another boot"},
        {[](std::vector<uint8_t>& b) { b[41] ^= 1, seal_checksum(b); },
         "it was made by a relay bound elsewhere"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.why);
        ServiceManager manager;
        std::unique_ptr<RelayProcess> old_relay = manager.start({"--hand-over", "0"});
        Peer host, client;
        uint32_t id = open_room(*old_relay, host);
        join(*old_relay, host, client, id, 1, 1);
        ASSERT_EQ(manager.stop(*old_relay), std::optional<int>(0));
        change_snapshot(manager, refusal.change);
        std::unique_ptr<RelayProcess> new_relay =
            manager.start({"--hand-over", std::to_string(old_relay->port())});
        EXPECT_EQ(new_relay->port(), old_relay->port());
        EXPECT_EQ(next_message(*new_relay),
                  std::string("hand-over: snapshot refused (") + refusal.why + "); starting empty");
        client.send_to(new_relay->port(), data(id, "hi"));
        EXPECT_EQ(receive_hex(client), error_hex(ERR_NO_ROOM));
        EXPECT_TRUE(next_is_pong(*new_relay, host));
    }
}

}  // namespace
}  // namespace kiv::test
