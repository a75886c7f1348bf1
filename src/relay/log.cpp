#include "log.hpp"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace kiv {

void logf_(const char* format, ...) {
    // localtime_r, not localtime: with TZ unset, glibc's localtime re-reads the zone file and
    // allocates on every call, and the relay allocates nothing once it is running.
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    printf("%s ", stamp);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

}  // namespace kiv
