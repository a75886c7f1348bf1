#include "log.hpp"

#include <arpa/inet.h>

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

const char* addr_str(const sockaddr_in& addr) {
    static char buffers[2][32];
    static int index = 0;
    index ^= 1;
    char quad[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr.sin_addr, quad, sizeof quad);
    snprintf(buffers[index], sizeof buffers[index], "%s:%d", quad, int(ntohs(addr.sin_port)));
    return buffers[index];
}

}  // namespace kiv
