// The relay's shell: the command line, the one socket, the clock and the loop. Everything
// the protocol decides happens in Relay; this file only moves datagrams between the kernel
// and the core, in batches so that one system call carries many datagrams.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.hpp"
#include "protocol.hpp"
#include "relay.hpp"

namespace kiv {
namespace {

constexpr const char* USAGE = "usage: kiv-relay [port]";
constexpr int WAIT_LIMIT_MS = 1000;
// Datagrams moved per system call.
constexpr int BATCH = 64;
// A drain pass ends after this many datagrams even if more are waiting, so that a steady
// flood cannot keep the loop from looking at the clock and sweeping silent peers.
constexpr int DRAIN_LIMIT = 1024;
// One byte more than the largest datagram the relay accepts, so an oversized one shows.
constexpr size_t RECEIVE_SLOT = MAX_DATAGRAM + 1;

int sock = -1;

uint32_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(ts.tv_sec) * 1000u + uint32_t(ts.tv_nsec / 1000000);
}

int system_rand(void*) {
    return rand();
}

void log_to_stdout(void*, const char* line) {
    logf_("%s", line);
}

// Accepts exactly a decimal number 0..65535: no sign, no blanks, nothing after it.
bool parse_port(const char* text, uint16_t* port) {
    if (*text == '\0') return false;
    uint32_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + uint32_t(*c - '0');
        if (value > 65535) return false;
    }
    *port = uint16_t(value);
    return true;
}

struct Batch {
    std::array<std::array<uint8_t, RECEIVE_SLOT>, BATCH> buffers;
    std::array<sockaddr_in, BATCH> sources;
    std::array<iovec, BATCH> receive_iov;
    std::array<mmsghdr, BATCH> received;
    std::array<Outgoing, BATCH> outgoing;
    std::array<iovec, BATCH> send_iov;
    std::array<mmsghdr, BATCH> sends;
    struct alignas(cmsghdr) SegmentControl {
        char bytes[CMSG_SPACE(sizeof(uint16_t))];
    };
    std::array<SegmentControl, BATCH> segment_controls;
};

// Datagrams in a row to one peer with one length leave as one segmented send (UDP GSO):
// the kernel cuts it into the same datagrams, in the same order, for a fraction of the
// per-datagram cost. The kernel takes at most 64 segments and 64 KiB in one send.
constexpr int MAX_SEGMENTS = 64;
constexpr size_t MAX_SEGMENTED_BYTES = 65000;
bool segmentation_works = true;

// Only forwarded data joins a run: it is the traffic that comes in runs, while replies are
// few and go out one send each.
bool is_forward(const iovec& datagram) {
    return static_cast<const uint8_t*>(datagram.iov_base)[OFFSET_TYPE] ==
           uint8_t(MsgType::MSG_DATA);
}

bool same_run(const mmsghdr& message, const iovec& datagram, const sockaddr_in& to) {
    const msghdr& header = message.msg_hdr;
    const auto* run_to = static_cast<const sockaddr_in*>(header.msg_name);
    size_t length = datagram.iov_len;
    return header.msg_iov[0].iov_len == length && is_forward(header.msg_iov[0]) &&
           is_forward(datagram) && addr_equal(*run_to, to) && header.msg_iovlen < MAX_SEGMENTS &&
           (header.msg_iovlen + 1) * length <= MAX_SEGMENTED_BYTES;
}

void mark_segmented(Batch& batch, int index) {
    msghdr& header = batch.sends[index].msg_hdr;
    header.msg_control = batch.segment_controls[index].bytes;
    header.msg_controllen = sizeof batch.segment_controls[index].bytes;
    cmsghdr* control = CMSG_FIRSTHDR(&header);
    control->cmsg_level = SOL_UDP;
    control->cmsg_type = UDP_SEGMENT;
    control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    uint16_t segment = uint16_t(header.msg_iov[0].iov_len);
    memcpy(CMSG_DATA(control), &segment, sizeof segment);
}

// A segmented send the kernel refused is sent again datagram by datagram, so a failure still
// loses one datagram alone; a kernel or route that cannot segment is not asked again.
void send_each(const mmsghdr& message) {
    if (errno == EIO || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOPROTOOPT) {
        segmentation_works = false;
    }
    for (size_t i = 0; i < message.msg_hdr.msg_iovlen; ++i) {
        const iovec& datagram = message.msg_hdr.msg_iov[i];
        (void)sendto(sock, datagram.iov_base, datagram.iov_len, 0,
                     static_cast<const sockaddr*>(message.msg_hdr.msg_name),
                     message.msg_hdr.msg_namelen);  // a loss here is a loss UDP allows
    }
}

// Sends what one batch produced, in order. A datagram the kernel refuses (a full send
// buffer, an unreachable peer) is lost alone: sending goes on with the next one.
void send_all(Batch& batch, int count) {
    int messages = 0;
    int datagrams = 0;
    for (int i = 0; i < count; ++i) {
        const Outgoing& out = batch.outgoing[i];
        if (out.length == 0) continue;
        // Only datagrams that are sent take an iovec, so a run's iovecs stay consecutive
        // even where a dropped datagram sat between two of its members.
        iovec& datagram = batch.send_iov[datagrams++];
        datagram = {batch.buffers[i].data(), out.length};
        if (segmentation_works && messages > 0 &&
            same_run(batch.sends[messages - 1], datagram, out.to)) {
            if (batch.sends[messages - 1].msg_hdr.msg_iovlen++ == 1) {
                mark_segmented(batch, messages - 1);
            }
            continue;
        }
        mmsghdr& message = batch.sends[messages];
        message = mmsghdr{};
        message.msg_hdr.msg_name = const_cast<sockaddr_in*>(&out.to);
        message.msg_hdr.msg_namelen = sizeof out.to;
        message.msg_hdr.msg_iov = &batch.send_iov[datagrams - 1];
        message.msg_hdr.msg_iovlen = 1;
        ++messages;
    }
    int sent = 0;
    while (sent < messages) {
        int result = sendmmsg(sock, batch.sends.data() + sent, unsigned(messages - sent), 0);
        if (result > 0) {
            sent += result;
        } else {
            const mmsghdr& failed = batch.sends[sent];
            if (failed.msg_hdr.msg_iovlen > 1) send_each(failed);
            ++sent;  // skip what failed; losing a datagram is what UDP allows
        }
    }
}

// Receives and handles up to one batch; returns how many datagrams it took in.
int drain_batch(Relay& relay, Batch& batch) {
    for (int i = 0; i < BATCH; ++i) {
        batch.receive_iov[i] = {batch.buffers[i].data(), RECEIVE_SLOT};
        mmsghdr& message = batch.received[i];
        message = mmsghdr{};
        message.msg_hdr.msg_name = &batch.sources[i];
        message.msg_hdr.msg_namelen = sizeof batch.sources[i];
        message.msg_hdr.msg_iov = &batch.receive_iov[i];
        message.msg_hdr.msg_iovlen = 1;
    }
    int count = recvmmsg(sock, batch.received.data(), BATCH, MSG_DONTWAIT, nullptr);
    if (count <= 0) return 0;
    uint32_t now = now_ms();
    for (int i = 0; i < count; ++i) {
        const mmsghdr& message = batch.received[i];
        size_t length = message.msg_len;
        // A datagram larger than the slot arrives cut; its flag says so.
        if (message.msg_hdr.msg_flags & MSG_TRUNC) length = RECEIVE_SLOT + 1;
        batch.outgoing[i] = relay.handle(batch.buffers[i].data(), length, batch.sources[i], now);
    }
    send_all(batch, count);
    return count;
}

int open_socket(uint16_t port, uint16_t* bound_port) {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("socket");
        return -1;
    }
    int size = RECEIVE_BUFFER_BYTES;
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // a smaller one works
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("bind");
        return -1;
    }
    int flags = fcntl(sock, F_GETFL, 0);
    (void)fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    // Port 0 lets the system choose; the banner must show the port actually bound.
    socklen_t length = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
    *bound_port = ntohs(addr.sin_port);
    return 0;
}

// Static memory gets its pages only when first written. Writing every page now, before the
// banner, makes the resident size the relay starts with the size it keeps under any load.
void make_resident(void* memory, size_t size) {
    volatile uint8_t* bytes = static_cast<uint8_t*>(memory);
    for (size_t offset = 0; offset < size; offset += 4096)
        bytes[offset] = bytes[offset];
}

[[noreturn]] void run(Relay& relay, Batch& batch) {
    uint32_t last_sweep = 0;
    for (;;) {
        pollfd waiting{sock, POLLIN, 0};
        if (poll(&waiting, 1, WAIT_LIMIT_MS) > 0) {
            int drained = 0;
            while (drained < DRAIN_LIMIT) {
                int count = drain_batch(relay, batch);
                drained += count;
                if (count < BATCH) break;  // the socket was empty
            }
        }
        if (uint32_t(now_ms() - last_sweep) >= SWEEP_MS) {
            relay.sweep(now_ms());
            last_sweep = now_ms();
        }
    }
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
    using namespace kiv;
    uint16_t port = DEFAULT_PORT;
    if (argc > 1) {
        if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
            printf("%s\n", USAGE);
            return 0;
        }
        if (strcmp(argv[1], "--version") == 0) {
            printf("kiv-relay %s\n", KIV_VERSION);
            return 0;
        }
        if (argc > 2) {
            fprintf(stderr, "kiv-relay: too many arguments\n%s\n", USAGE);
            return 2;
        }
        if (!parse_port(argv[1], &port)) {
            fprintf(stderr, "kiv-relay: invalid port '%s' (expected 0-65535)\n%s\n", argv[1],
                    USAGE);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    srand(now_ms() ^ uint32_t(time(nullptr)));
    tzset();

    uint16_t bound_port = 0;
    if (open_socket(port, &bound_port) < 0) return 1;

    // Everything the loop needs is made here, before the first datagram: the loop itself
    // allocates nothing.
    static Relay relay(RandomSource{system_rand, nullptr}, LogSink{log_to_stdout, nullptr});
    static Batch batch;
    make_resident(&relay, sizeof relay);
    make_resident(&batch, sizeof batch);
    logf_("kiv-relay listening on UDP %d (protocol %d, %d rooms max)", int(bound_port),
          int(PROTOCOL_VERSION), MAX_ROOMS);
    run(relay, batch);
}
