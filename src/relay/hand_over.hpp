// Handing the relay over to the process that replaces it (--hand-over), through a service
// manager that keeps descriptors between two starts (its descriptor store). On SIGTERM the
// relay stores its socket and a memory file holding the snapshot of its core (snapshot.hpp);
// the next start takes both, goes on with the same socket, where datagrams sent in between
// have waited, and with the same rooms. The two processes never run at once: the manager
// starts the new one only after the old one has exited.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/relay.hpp"
#include "relay/snapshot.hpp"
#include "wire/peer.hpp"

namespace kiv {

// Whether this build can hand over (it was built with libsystemd).
bool hand_over_supported();
// Whether a manager waits to keep what the relay hands over (NOTIFY_SOCKET is set).
bool hand_over_possible();

// What a start with --hand-over found.
struct TakeOver {
    int sock = -1;                      // the socket handed over and bound where asked, or -1
    Peer bound;                         // where that socket is bound
    const uint8_t* snapshot = nullptr;  // mapped until hand_over_finish()
    size_t snapshot_size = 0;
    bool snapshot_good = false;  // it passed snapshot_check(); header is set
    SnapshotHeader header{};
    SnapshotOrigin origin;   // this boot, and the socket the relay serves on
    char refused[160] = {};  // why a snapshot was refused, "" if none was
};

// Takes the descriptors the manager passed (LISTEN_FDS): the socket when it is a UDP socket
// bound at `address` (any port if its port is 0), and the snapshot. Fills in the origin's
// boot id; the caller sets its bound address and then calls hand_over_check_snapshot().
void hand_over_take(const Peer& address, TakeOver* take);
void hand_over_check_snapshot(TakeOver* take);
// Fills `relay` (built with the header's hash key when the snapshot is good) from it, logs
// one line saying what was taken or why nothing was, and lets the manager forget the
// snapshot, so that a later start can never take the same state twice.
void hand_over_finish(TakeOver* take, Relay& relay);

// At SIGTERM: writes the snapshot into a memory file and stores it and the socket with the
// manager; false, with the reason written, when it could not.
bool hand_over_give(int sock, const Relay& relay, const SnapshotOrigin& origin, uint64_t hash_key,
                    uint32_t now_ms, uint32_t socket_drops_seen, char* reason, size_t reason_size);

}  // namespace kiv
