#include "traffic.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wire/protocol.hpp"

namespace kiv::traffic {

int open_peer_socket(int receive_buffer, bool ipv6) {
    static uint32_t next_address = INADDR_LOOPBACK;
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    Peer addr = ipv6 ? relay_address(0, true) : Peer::ipv4(next_address++, 0);
    if (bind(fd, addr.name(), addr.name_length()) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Peer relay_address(uint16_t port, bool ipv6) {
    return ipv6 ? Peer::from_text("::1", port) : Peer::loopback(port);
}

bool send_datagram(int fd, const Peer& to, const uint8_t* datagram, size_t length) {
    return sendto(fd, datagram, length, 0, to.name(), to.name_length()) == ssize_t(length);
}

bool is_forward(const uint8_t* datagram, size_t length, bool at_client) {
    if (length < HEADER_SIZE || !header_has_magic(datagram) ||
        datagram[OFFSET_VERSION] != PROTOCOL_VERSION || datagram[OFFSET_RESERVED] != 0 ||
        datagram[OFFSET_RESERVED + 1] != 0 || datagram[OFFSET_TYPE] != uint8_t(MsgType::MSG_DATA)) {
        return false;
    }
    return at_client ? header_value(datagram) == 0 : header_value(datagram) != 0;
}

}  // namespace kiv::traffic
