// The snapshot reader's fuzz target. The checksum would stop nearly every input at the
// header, so the target seals each input with a right length and checksum and checks it
// against the origin the input itself names: the fuzzer reaches the table's rules. What is
// read must keep every rule of the table, and write back as bytes that read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "relay/snapshot.hpp"
#include "table_checks.hpp"

namespace {

int no_random(void*) {
    return 0;
}
void no_log(void*, const char*) {}

std::unique_ptr<kiv::Relay> new_relay(uint64_t hash_key) {
    return std::make_unique<kiv::Relay>(kiv::RandomSource{no_random, nullptr},
                                        kiv::LogSink{no_log, nullptr}, hash_key);
}

[[noreturn]] void fault(const char* what) {
    fprintf(stderr, "snapshot_fuzz: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv;
    if (size < SNAPSHOT_HEADER_BYTES) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    // Sealed with the length and checksum a writer would give it.
    for (int i = 0; i < 4; ++i)
        bytes[size_t(12 + i)] = uint8_t(size >> (8 * i));
    // The bound address is always 0.0.0.0:27017 (family 4, port, address, scope id), and the
    // table sizes this build's, so that the seeds serve builds of any size.
    const uint8_t bound[23] = {4, 0x89, 0x69};
    memcpy(bytes.data() + 40, bound, sizeof bound);
    uint64_t sizes =
        MAX_ROOMS | uint64_t(MAX_CLIENTS) << 16 | uint64_t(SOURCE_BUDGET_BUCKETS) << 32;
    for (int i = 0; i < 8; ++i)
        bytes[size_t(79 + i)] = uint8_t(sizes >> (8 * i));
    SnapshotOrigin origin;
    origin.bound = Peer::any(27017);
    memcpy(origin.boot_id.data(), bytes.data() + 24, origin.boot_id.size());
    uint64_t sum = snapshot_checksum(bytes.data() + 24, size - 24);
    for (int i = 0; i < 8; ++i)
        bytes[size_t(16 + i)] = uint8_t(sum >> (8 * i));
    SnapshotHeader header{};
    char why[128];
    if (!snapshot_check(bytes.data(), size, origin, &header, why, sizeof why)) return 0;
    std::unique_ptr<Relay> relay = new_relay(header.hash_key);
    if (!snapshot_restore(bytes.data(), size, *relay, why, sizeof why)) {
        for (const Room& room : relay->table().rooms())
            if (room.id.value != 0) fault("a refused snapshot left a room behind");
        return 0;
    }
    if (const char* broken = check::table_fault(relay->table())) fault(broken);
    std::vector<uint8_t> again(snapshot_size(*relay));
    snapshot_write(*relay, origin, header.hash_key, 0, 0, again.data(), again.size());
    std::unique_ptr<Relay> second = new_relay(header.hash_key);
    if (!snapshot_restore(again.data(), again.size(), *second, why, sizeof why))
        fault("a snapshot the relay wrote does not read back");
    std::vector<uint8_t> third(snapshot_size(*second));
    snapshot_write(*second, origin, header.hash_key, 0, 0, third.data(), third.size());
    if (third != again) fault("a snapshot reads back as another");
    return 0;
}
