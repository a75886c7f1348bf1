#include "traffic.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol.hpp"

namespace kiv::traffic {

int open_peer_socket(int receive_buffer) {
    static uint32_t next_address = INADDR_LOOPBACK;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(next_address++);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

sockaddr_in relay_address(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

bool send_datagram(int fd, const sockaddr_in& to, const uint8_t* datagram, size_t length) {
    return sendto(fd, datagram, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           ssize_t(length);
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
