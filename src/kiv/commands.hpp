// The kiv subcommands. Each takes its own arguments with its name as argv[0] and returns the
// process's exit status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/peer.hpp"
#include "wire/values.hpp"

namespace kiv::cli {

int run_ping(int argc, char** argv);
int run_host(int argc, char** argv);
int run_join(int argc, char** argv);
int run_token(int argc, char** argv);

// The raw datagram modes of host and join, once their arguments are read: they carry each
// datagram unchanged between the relay and a local UDP application.
// `open_token`, when not null, is the token a relay started with --open-key asks for.
int run_forward(const Peer& relay, RoomId requested_room, const Peer& forward_to,
                const uint8_t* open_token, size_t open_token_length);
int run_listen(const Peer& relay, RoomId room_id, const Peer& listen_on);

}  // namespace kiv::cli
