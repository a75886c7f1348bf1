#include "relay/hand_over.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/log.hpp"

#ifdef KIV_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace kiv {

#ifdef KIV_HAVE_SYSTEMD
namespace {

// The names the relay stores its descriptors under (FDNAME=), which the next start asks for.
constexpr const char* SOCKET_NAME = "socket";
constexpr const char* SNAPSHOT_NAME = "snapshot";
constexpr const char* STORE_SOCKET = "FDSTORE=1\nFDNAME=socket";
constexpr const char* STORE_SNAPSHOT = "FDSTORE=1\nFDNAME=snapshot";
constexpr const char* FORGET_SNAPSHOT = "FDSTOREREMOVE=1\nFDNAME=snapshot";
// How long the relay waits, before it exits, for the manager to have taken what it stored.
constexpr uint64_t BARRIER_LIMIT_US = 5000000;

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

// The kernel's id of this boot: a snapshot's times are this boot's monotonic clock.
bool read_boot_id(std::array<uint8_t, 16>* boot_id) {
    int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[64] = {};
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    size_t filled = 0;
    for (ssize_t i = 0; i + 1 < length && filled < boot_id->size(); ++i) {
        if (text[i] == '-') continue;
        int high = hex_value(text[i]);
        int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        (*boot_id)[filled++] = uint8_t(high << 4 | low);
        ++i;
    }
    return filled == boot_id->size();
}

Peer bound_address(int fd) {
    Peer bound;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    if (getsockname(fd, bound.receive_name(), &length) != 0) return Peer{};
    return bound;
}

bool bound_as_asked(int fd, const Peer& address) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
        return false;
    Peer asked = address;
    Peer bound = bound_address(fd);
    if (asked.port() == 0) asked.set_port(bound.port());
    return bound.is_set() && bound == asked && bound.family() == asked.family();
}

void map_snapshot(int fd, TakeOver* take) {
    off_t size = lseek(fd, 0, SEEK_END);
    void* mapped =
        size > 0 ? mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (mapped == MAP_FAILED) {
        snprintf(take->refused, sizeof take->refused, "it cannot be read");
        return;
    }
    take->snapshot = static_cast<const uint8_t*>(mapped);
    take->snapshot_size = size_t(size);
}

int rooms_in_use(const Relay& relay, int* clients) {
    int rooms = 0;
    *clients = 0;
    for (const Room& room : relay.table().rooms()) {
        if (room.id.value == 0) continue;
        ++rooms;
        *clients += client_count(room);
    }
    return rooms;
}

// The snapshot in a sealed memory file, so that what the next start reads is what was written.
int snapshot_file(const Relay& relay, const SnapshotOrigin& origin, uint64_t hash_key,
                  uint32_t now_ms, uint32_t socket_drops_seen) {
    size_t size = snapshot_size(relay);
    int fd = memfd_create("kiv-relay-snapshot", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    void* mapped = MAP_FAILED;
    if (ftruncate(fd, off_t(size)) == 0)
        mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        close(fd);
        return -1;
    }
    snapshot_write(relay, origin, hash_key, now_ms, socket_drops_seen,
                   static_cast<uint8_t*>(mapped), size);
    munmap(mapped, size);
    (void)fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

}  // namespace

bool hand_over_supported() {
    return true;
}

bool hand_over_possible() {
    const char* notify = getenv("NOTIFY_SOCKET");
    return notify != nullptr && notify[0] != '\0';
}

void hand_over_take(const Peer& address, TakeOver* take) {
    if (!read_boot_id(&take->origin.boot_id))
        snprintf(take->refused, sizeof take->refused, "this boot's id cannot be read");
    char** names = nullptr;
    int count = sd_listen_fds_with_names(1, &names);
    for (int i = 0; i < count; ++i) {
        int fd = SD_LISTEN_FDS_START + i;
        const char* name = names != nullptr ? names[i] : "";
        if (strcmp(name, SOCKET_NAME) == 0 && take->sock < 0 && bound_as_asked(fd, address)) {
            take->sock = fd;
            take->bound = bound_address(fd);
        } else if (strcmp(name, SNAPSHOT_NAME) == 0 && take->snapshot == nullptr) {
            map_snapshot(fd, take);
            close(fd);
        } else {
            close(fd);
        }
        if (names != nullptr) free(names[i]);
    }
    free(names);
}

void hand_over_finish(TakeOver* take, Relay& relay) {
    char why[128] = {};
    bool taken = take->snapshot_good &&
                 snapshot_restore(take->snapshot, take->snapshot_size, relay, why, sizeof why);
    if (!taken && why[0] != '\0') snprintf(take->refused, sizeof take->refused, "%s", why);
    if (taken) {
        int clients = 0;
        int rooms = rooms_in_use(relay, &clients);
        logf_("hand-over: took %d room(s) and %d client(s) from the last process", rooms, clients);
    } else if (take->snapshot != nullptr) {
        logf_("hand-over: snapshot refused (%s); starting empty", take->refused);
    }
    if (take->snapshot != nullptr) {
        munmap(const_cast<uint8_t*>(take->snapshot), take->snapshot_size);
        take->snapshot = nullptr;
        // A crash and a restart later must not bring these rooms back as they were now.
        (void)sd_notify(0, FORGET_SNAPSHOT);
    }
}

bool hand_over_give(int sock, const Relay& relay, const SnapshotOrigin& origin, uint64_t hash_key,
                    uint32_t now_ms, uint32_t socket_drops_seen, char* reason, size_t reason_size) {
    int snapshot = snapshot_file(relay, origin, hash_key, now_ms, socket_drops_seen);
    if (snapshot < 0) {
        snprintf(reason, reason_size, "cannot write the snapshot: %s", strerror(errno));
        return false;
    }
    int failed = sd_pid_notify_with_fds(0, 0, STORE_SOCKET, &sock, 1);
    if (failed >= 0) failed = sd_pid_notify_with_fds(0, 0, STORE_SNAPSHOT, &snapshot, 1);
    if (failed >= 0) failed = sd_notify_barrier(0, BARRIER_LIMIT_US);
    close(snapshot);
    if (failed < 0) {
        snprintf(reason, reason_size, "the service manager took nothing: %s", strerror(-failed));
        return false;
    }
    int clients = 0;
    int rooms = rooms_in_use(relay, &clients);
    snprintf(reason, reason_size, "handed %d room(s) and %d client(s) to the next process", rooms,
             clients);
    return true;
}

#else

bool hand_over_supported() {
    return false;
}
bool hand_over_possible() {
    return false;
}
void hand_over_take(const Peer&, TakeOver*) {}
void hand_over_finish(TakeOver*, Relay&) {}
bool hand_over_give(int, const Relay&, const SnapshotOrigin&, uint64_t, uint32_t, uint32_t,
                    char* reason, size_t reason_size) {
    snprintf(reason, reason_size, "this build has no hand-over support");
    return false;
}

#endif

void hand_over_check_snapshot(TakeOver* take) {
    if (take->snapshot == nullptr || take->refused[0] != '\0') return;
    take->snapshot_good = snapshot_check(take->snapshot, take->snapshot_size, take->origin,
                                         &take->header, take->refused, sizeof take->refused);
}

}  // namespace kiv
