// kiv-relay: reads the command line, starts the shell (shell.hpp) and runs its loop. What
// goes wrong before the loop is printed here, and only here.
#include <cstdio>

#include "relay/args.hpp"
#include "relay/shell.hpp"
#include "version.hpp"

int main(int argc, char** argv) {
    using namespace kiv;
    static char reason[ARGUMENT_REASON_BYTES];
    Arguments arguments;
    switch (parse_arguments(argc, argv, &arguments, reason, sizeof reason)) {
        case Command::HELP:
            printf("%s\n\n%s", RELAY_USAGE, RELAY_HELP);
            return 0;
        case Command::VERSION:
            printf("kiv-relay %s\n", KIV_VERSION);
            return 0;
        case Command::INVALID:
            fprintf(stderr, "kiv-relay: %s\n%s\n", reason, RELAY_USAGE);
            return 2;
        case Command::RUN:
            break;
    }
    static Shell shell;
    if (!shell_start(arguments, shell, reason, sizeof reason)) {
        fprintf(stderr, "%s\n", reason);
        return 1;
    }
    return shell_run(shell);
}
