// The kiv subcommands. Each takes its own arguments with its name as argv[0] and returns the
// process's exit status.
#pragma once

namespace kiv::cli {

int run_ping(int argc, char** argv);
int run_host(int argc, char** argv);
int run_join(int argc, char** argv);

// Handles --help and -h and refuses any other option, for commands that take none. Returns
// -1 to go on, or the exit status.
int simple_options(int argc, char** argv, const char* usage, const char* help);

}  // namespace kiv::cli
