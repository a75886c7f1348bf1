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
// `direct` turns the library's direct paths on: the host's towards every kiv join --direct,
// the join's on the place that talks to a kiv host.
int run_forward(const Peer& relay, RoomId requested_room, const Peer& forward_to,
                const uint8_t* open_token, size_t open_token_length, bool direct);
int run_listen(const Peer& relay, RoomId room_id, const Peer& listen_on, bool direct);

}  // namespace kiv::cli
