// kiv: the command-line companion of kiv-relay: a health probe, and a host and a client for
// trying a relay by hand or putting a UDP application behind a room.
#include <cstdio>
#include <cstring>

#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "version.hpp"

namespace kiv::cli {

constexpr const char* USAGE =
    "usage: kiv ping [-c COUNT] [-W SECONDS] HOST[:PORT]\n"
    "       kiv host HOST[:PORT] [ROOM] [--token HEX] [--forward ADDR:PORT]\n"
    "       kiv join HOST[:PORT] ROOM [--listen ADDR:PORT]\n"
    "       kiv token --key FILE [--ttl SECONDS]\n"
    "       kiv --version\n";
constexpr const char* HELP =
    "\n"
    "  ping   check that a relay answers (exit 0) or not (exit 1)\n"
    "  host   open a room and talk to its clients line by line\n"
    "  join   join a room and talk to its host line by line\n"
    "         (--forward and --listen carry any UDP application's datagrams instead)\n"
    "  token  make an open token for a relay that lets only its operator's hosts open rooms\n"
    "\n"
    "'kiv COMMAND --help' tells more. The port defaults to 27017.\n";

}  // namespace kiv::cli

int main(int argc, char** argv) {
    using namespace kiv::cli;
    if (argc < 2) {
        fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    const char* command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 ||
        strcmp(command, "help") == 0) {
        printf("%s%s", USAGE, HELP);
        return 0;
    }
    if (strcmp(command, "--version") == 0) {
        printf("kiv %s\n", KIV_VERSION);
        return 0;
    }
    if (strcmp(command, "ping") == 0) return run_ping(argc - 1, argv + 1);
    if (strcmp(command, "host") == 0) return run_host(argc - 1, argv + 1);
    if (strcmp(command, "join") == 0) return run_join(argc - 1, argv + 1);
    if (strcmp(command, "token") == 0) return run_token(argc - 1, argv + 1);
    fprintf(stderr, "kiv: unknown command '%s'\n%s", command, USAGE);
    return EXIT_USAGE;
}
