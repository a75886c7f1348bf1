#include "addr_text.hpp"

#include <arpa/inet.h>

#include <cstdio>

namespace kiv {

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
