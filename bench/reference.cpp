// kiv-reference: the floor the relay is measured against. A minimal batched forwarder that
// speaks just enough of the relay's protocol for kiv-load: a host's MSG_OPEN gets a room, a
// client's first MSG_DATA takes the room's next tag, and from then on datagrams are moved
// with the header's value rewritten in place. No validation beyond the length, no log, no
// timeouts, no closing: it only shows what moving the same datagrams costs by itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "fixed_index.hpp"
#include "settings.hpp"

namespace {

using namespace kiv;

constexpr int BATCH = 64;

struct Room {
    sockaddr_in host;
    std::array<sockaddr_in, MAX_CLIENTS> clients;
    uint32_t count;
};

std::array<Room, MAX_ROOMS> rooms{};
uint32_t rooms_used = 0;
FixedIndex<MAX_ROOMS> host_index;                  // address -> room
FixedIndex<MAX_ROOMS * MAX_CLIENTS> client_index;  // address -> room * 8 + tag - 1

uint64_t key_of(const sockaddr_in& addr) {
    return uint64_t(addr.sin_addr.s_addr) << 16 | addr.sin_port;
}

// Rewrites the datagram in place; returns the length to send to `*to`, or 0.
uint32_t forward(uint8_t* datagram, uint32_t length, const sockaddr_in& source,
                 const sockaddr_in** to) {
    if (length < HEADER_SIZE || length > MAX_DATAGRAM) return 0;
    uint64_t key = key_of(source);
    uint32_t value = header_value(datagram);
    if (datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_OPEN)) {
        int room = host_index.find(key);
        if (room < 0) {
            if (rooms_used == MAX_ROOMS) return 0;
            room = int(rooms_used++);
            rooms[size_t(room)].host = source;
            host_index.insert(key, uint32_t(room));
        }
        header_write(datagram, MsgType::MSG_OPENED, uint32_t(room) + 1);
        *to = &source;
        return HEADER_SIZE;
    }
    if (datagram[OFFSET_TYPE] != uint8_t(MsgType::MSG_DATA)) return 0;
    if (int room = host_index.find(key); room >= 0) {
        Room& r = rooms[size_t(room)];
        if (value == 0 || value > r.count) return 0;
        header_write(datagram, MsgType::MSG_DATA, 0);
        *to = &r.clients[value - 1];
        return length;
    }
    int where = client_index.find(key);
    if (where < 0) {
        if (value == 0 || value > rooms_used) return 0;
        Room& r = rooms[value - 1];
        if (r.count == MAX_CLIENTS) return 0;
        where = int((value - 1) * MAX_CLIENTS + r.count);
        r.clients[r.count++] = source;
        client_index.insert(key, uint32_t(where));
    }
    header_write(datagram, MsgType::MSG_DATA, uint32_t(where % MAX_CLIENTS) + 1);
    *to = &rooms[size_t(where / MAX_CLIENTS)].host;
    return length;
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : 0;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int size = RECEIVE_BUFFER_BYTES;
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("kiv-reference");
        return 1;
    }
    socklen_t length = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
    printf("kiv-reference listening on UDP %d\n", ntohs(addr.sin_port));
    fflush(stdout);

    static std::array<std::array<uint8_t, MAX_DATAGRAM + 1>, BATCH> buffers;
    static std::array<sockaddr_in, BATCH> sources;
    static std::array<iovec, BATCH> iov;
    static std::array<mmsghdr, BATCH> received;
    static std::array<iovec, BATCH> send_iov;
    static std::array<mmsghdr, BATCH> sends;
    for (;;) {
        pollfd waiting{sock, POLLIN, 0};
        if (poll(&waiting, 1, 1000) <= 0) continue;
        for (int i = 0; i < BATCH; ++i) {
            iov[i] = {buffers[i].data(), buffers[i].size()};
            received[i] = mmsghdr{};
            received[i].msg_hdr.msg_name = &sources[i];
            received[i].msg_hdr.msg_namelen = sizeof sources[i];
            received[i].msg_hdr.msg_iov = &iov[i];
            received[i].msg_hdr.msg_iovlen = 1;
        }
        int count = recvmmsg(sock, received.data(), BATCH, MSG_DONTWAIT, nullptr);
        int pending = 0;
        for (int i = 0; i < count; ++i) {
            const sockaddr_in* to = nullptr;
            uint32_t out = forward(buffers[i].data(), received[i].msg_len, sources[i], &to);
            if (out == 0) continue;
            send_iov[pending] = {buffers[i].data(), out};
            sends[pending] = mmsghdr{};
            sends[pending].msg_hdr.msg_name = const_cast<sockaddr_in*>(to);
            sends[pending].msg_hdr.msg_namelen = sizeof *to;
            sends[pending].msg_hdr.msg_iov = &send_iov[pending];
            sends[pending].msg_hdr.msg_iovlen = 1;
            ++pending;
        }
        for (int sent = 0; sent < pending;) {
            int result = sendmmsg(sock, sends.data() + sent, unsigned(pending - sent), 0);
            sent += result > 0 ? result : 1;
        }
    }
}
