// The kiv subcommands. Each takes its own arguments with its name as argv[0] and returns the
// process's exit status.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace kiv::cli {

int run_ping(int argc, char** argv);
int run_host(int argc, char** argv);
int run_join(int argc, char** argv);
int run_token(int argc, char** argv);

// The raw datagram modes of host and join, once their arguments are read: they carry each
// datagram unchanged between the relay and a local UDP application.
int run_forward(const sockaddr_in& relay, uint32_t requested_room, const sockaddr_in& forward_to);
int run_listen(const sockaddr_in& relay, uint32_t room_id, const sockaddr_in& listen_on);

}  // namespace kiv::cli
