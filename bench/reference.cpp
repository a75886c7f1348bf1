// kiv-reference: the floor the relay is measured against. A minimal batched forwarder that
// speaks just enough of the relay's protocol for kiv-load: a host's MSG_OPEN gets a room, a
// client's first MSG_DATA takes the room's next tag, and from then on datagrams are moved
// with the header's value rewritten in place. No validation beyond the length, no log, no
// timeouts, no closing: it only shows what moving the same datagrams costs by itself.
//
// With --gro it also takes coalesced receives (UDP_GRO): a run a sender passed to the kernel
// as one segmented send arrives as one buffer. Each segment is rewritten in place; a run
// whose segments all go to one peer goes back out whole as one segmented send, and any other
// run segment by segment. That is the least a forwarder must do with such buffers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/segment_control.hpp"
#include "relay/fixed_index.hpp"
#include "relay/settings.hpp"
#include "wire/number_text.hpp"

namespace {

using namespace kiv;

constexpr int BATCH = 64;
constexpr size_t COALESCED_SLOT = 65536;
constexpr int PENDING_SENDS = 1024;

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

// The sends of one pass; flushed when full, so a batch of long runs needs no more room.
struct Pending {
    std::array<iovec, PENDING_SENDS> iov;
    std::array<mmsghdr, PENDING_SENDS> sends;
    std::array<SegmentControl, PENDING_SENDS> controls;
    int count = 0;
};

void flush(int sock, Pending& pending) {
    for (int sent = 0; sent < pending.count;) {
        int result = sendmmsg(sock, pending.sends.data() + sent, unsigned(pending.count - sent), 0);
        sent += result > 0 ? result : 1;
    }
    pending.count = 0;
}

// Queues `length` bytes at `data` to `to`; a segment size above 0 makes it a segmented send.
void queue(int sock, Pending& pending, uint8_t* data, size_t length, const sockaddr_in* to,
           uint16_t segment) {
    if (pending.count == PENDING_SENDS) flush(sock, pending);
    int n = pending.count++;
    pending.iov[n] = {data, length};
    mmsghdr& message = pending.sends[n];
    message = mmsghdr{};
    message.msg_hdr.msg_name = const_cast<sockaddr_in*>(to);
    message.msg_hdr.msg_namelen = sizeof *to;
    message.msg_hdr.msg_iov = &pending.iov[n];
    message.msg_hdr.msg_iovlen = 1;
    if (segment != 0) set_segment_size(message.msg_hdr, pending.controls[n], segment);
}

int segment_size_of(msghdr& header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            memcpy(&size, CMSG_DATA(c), sizeof size);
            return size;
        }
    }
    return 0;
}

// A coalesced run: every segment rewritten; one segmented send if they all go to one peer
// with their own length, else one send per segment.
void forward_run(int sock, Pending& pending, uint8_t* run, size_t length, size_t segment,
                 const sockaddr_in& source) {
    constexpr size_t MOST_SEGMENTS = COALESCED_SLOT / HEADER_SIZE + 1;
    static std::array<const sockaddr_in*, MOST_SEGMENTS> to;
    static std::array<uint32_t, MOST_SEGMENTS> out;
    size_t count = 0;
    bool one_peer = true;
    for (size_t offset = 0; offset < length; offset += segment, ++count) {
        uint32_t size = uint32_t(length - offset < segment ? length - offset : segment);
        to[count] = nullptr;
        out[count] = forward(run + offset, size, source, &to[count]);
        one_peer = one_peer && out[count] == size && to[count] == to[0];
    }
    if (one_peer && count <= 64) {
        queue(sock, pending, run, length, to[0], uint16_t(segment));
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (out[i] != 0) queue(sock, pending, run + i * segment, out[i], to[i], 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t port = 0;
    bool coalesce = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--gro") == 0) {
            coalesce = true;
        } else if (!parse_decimal<uint16_t>(argv[i], 0, 65535, &port)) {
            fprintf(stderr, "usage: kiv-reference [--gro] [port]\n");
            return 2;
        }
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int size = RECEIVE_BUFFER_BYTES;
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (coalesce) {
        int on = 1;
        if (setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on) < 0)
            perror("kiv-reference: UDP_GRO");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("kiv-reference");
        return 1;
    }
    socklen_t length = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
    printf("kiv-reference listening on UDP %d%s\n", ntohs(addr.sin_port),
           coalesce ? " (coalesced receives)" : "");
    fflush(stdout);

    // Without coalescing, buffers of the largest datagram, as the plain forwarder always had.
    const size_t slot = coalesce ? COALESCED_SLOT + 64 : MAX_DATAGRAM + 1;
    static std::array<uint8_t, BATCH*(COALESCED_SLOT + 64)> buffers;
    static std::array<sockaddr_in, BATCH> sources;
    static std::array<iovec, BATCH> iov;
    static std::array<mmsghdr, BATCH> received;
    struct alignas(cmsghdr) Control {
        char bytes[CMSG_SPACE(sizeof(int))];
    };
    static std::array<Control, BATCH> controls;
    static Pending pending;
    for (;;) {
        pollfd waiting{sock, POLLIN, 0};
        if (poll(&waiting, 1, 1000) <= 0) continue;
        for (int i = 0; i < BATCH; ++i) {
            iov[i] = {&buffers[size_t(i) * slot], coalesce ? COALESCED_SLOT : slot};
            received[i] = mmsghdr{};
            received[i].msg_hdr.msg_name = &sources[i];
            received[i].msg_hdr.msg_namelen = sizeof sources[i];
            received[i].msg_hdr.msg_iov = &iov[i];
            received[i].msg_hdr.msg_iovlen = 1;
            if (coalesce) {
                received[i].msg_hdr.msg_control = controls[i].bytes;
                received[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
            }
        }
        int count = recvmmsg(sock, received.data(), BATCH, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < count; ++i) {
            uint8_t* data = &buffers[size_t(i) * slot];
            int segment = coalesce ? segment_size_of(received[i].msg_hdr) : 0;
            if (segment > 0) {
                forward_run(sock, pending, data, received[i].msg_len, size_t(segment), sources[i]);
                continue;
            }
            const sockaddr_in* to = nullptr;
            uint32_t out = forward(data, received[i].msg_len, sources[i], &to);
            if (out != 0) queue(sock, pending, data, out, to, 0);
        }
        flush(sock, pending);
    }
}
