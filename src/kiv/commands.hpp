// The kiv subcommands. Each takes its own arguments with its name as argv[0] and returns the
// process's exit status.
#pragma once

#include <cstdint>

#include "peer.hpp"
#include "values.hpp"

namespace kiv::cli {

int run_ping(int argc, char** argv);
int run_host(int argc, char** argv);
int run_join(int argc, char** argv);
int run_token(int argc, char** argv);

// The raw datagram modes of host and join, once their arguments are read: they carry each
// datagram unchanged between the relay and a local UDP application.
int run_forward(const Peer& relay, RoomId requested_room, const Peer& forward_to);
int run_listen(const Peer& relay, RoomId room_id, const Peer& listen_on);

}  // namespace kiv::cli
