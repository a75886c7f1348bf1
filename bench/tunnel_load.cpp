// kiv-tunnel-load: measures a datagram path through the relay from the application's side,
// either the relay alone (this program speaks the relay's protocol as both host and client)
// or the tunnel (raw datagrams to kiv join --listen, arriving at a local socket that kiv host
// --forward sends to). It reports the round trip of 64-byte datagrams, one in flight at a
// time, answered by the receiving side, and for each of a list of rates whether datagrams
// sent one way at that rate all arrived. Bounded: every trial and every wait has a limit.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wire/number_text.hpp"
#include "wire/protocol.hpp"

namespace kiv {
namespace {

constexpr const char* USAGE =
    "usage: kiv-tunnel-load --relay PORT [options]           the relay alone\n"
    "       kiv-tunnel-load --tunnel PORT --sink PORT [options]  kiv join --listen PORT,\n"
    "                                       kiv host --forward 127.0.0.1:SINK\n"
    "options: --round-trips N (default 2000)  --rates R1,R2,... (datagrams/s)\n"
    "         --seconds S per rate (default 1)  --payload BYTES (default 64; at most 1400\n"
    "         to the relay alone, 65507 through the tunnel)";
constexpr int BATCH = 64;
constexpr int WAIT_MS = 1000;  // for one round trip, and for the last datagrams of a trial
constexpr size_t MAX_RATES = 32;

struct Options {
    uint16_t relay_port = 0;
    uint16_t tunnel_port = 0;
    uint16_t sink_port = 0;
    int round_trips = 2000;
    double seconds = 1;
    size_t payload = 64;
    std::vector<long> rates;
};

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

int udp_socket(uint16_t bind_port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in addr = loopback(bind_port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "kiv-tunnel-load: bind 127.0.0.1:%u: %s\n", bind_port, strerror(errno));
        exit(1);
    }
    return fd;
}

void connect_to(int fd, uint16_t port) {
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) exit(1);
}

// The two ends of the path: the sender writes to `out`, the receiver reads `in` and, to
// answer, writes to `back`. With the relay alone the ends add and read the header.
// The largest datagram either path carries: a whole UDP datagram through the tunnel.
constexpr size_t LARGEST = 65507;

struct Path {
    int sender = -1;
    int receiver = -1;
    size_t header = 0;  // bytes before the payload on both ends
    uint8_t to_receiver[HEADER_SIZE] = {};
    uint8_t to_sender[HEADER_SIZE] = {};
    sockaddr_in answer_to{};  // where the receiver answers (the tunnel's socket for this peer)
};

bool wait_readable(int fd, int timeout_ms) {
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, timeout_ms) > 0;
}

Path relay_path(uint16_t relay_port) {
    Path path;
    path.header = HEADER_SIZE;
    path.sender = udp_socket(0);
    path.receiver = udp_socket(0);
    connect_to(path.sender, relay_port);
    connect_to(path.receiver, relay_port);
    uint8_t datagram[MAX_DATAGRAM];
    header_write(datagram, MsgType::MSG_OPEN, 0);
    send(path.receiver, datagram, HEADER_SIZE, 0);
    if (!wait_readable(path.receiver, WAIT_MS) ||
        recv(path.receiver, datagram, sizeof datagram, 0) < 12 ||
        datagram[OFFSET_TYPE] != uint8_t(MsgType::MSG_OPENED)) {
        fprintf(stderr, "kiv-tunnel-load: the relay opened no room\n");
        exit(1);
    }
    uint32_t room = header_value(datagram);
    header_write(path.to_receiver, MsgType::MSG_DATA, room);
    header_write(path.to_sender, MsgType::MSG_DATA, 1);  // the first client's tag
    return path;
}

Path tunnel_path(uint16_t tunnel_port, uint16_t sink_port) {
    Path path;
    path.sender = udp_socket(0);
    path.receiver = udp_socket(sink_port);
    connect_to(path.sender, tunnel_port);
    return path;
}

// Receives one datagram on the receiver and sends its payload back; returns its length.
ssize_t answer(Path& path, uint8_t* buffer, size_t size) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n =
        recvfrom(path.receiver, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < ssize_t(path.header)) return -1;
    if (path.header > 0) {
        memcpy(buffer, path.to_sender, HEADER_SIZE);
        send(path.receiver, buffer, size_t(n), 0);
    } else {
        sendto(path.receiver, buffer, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
    return n;
}

void round_trips(Path& path, const Options& options) {
    std::vector<double> samples;
    static uint8_t out[LARGEST] = {};
    static uint8_t in[LARGEST + 1];
    memcpy(out, path.to_receiver, path.header);
    size_t length = path.header + options.payload;
    int lost = 0;
    for (int i = 0; i < options.round_trips; ++i) {
        store_le32(out + path.header, uint32_t(i));
        double start = now_s();
        send(path.sender, out, length, 0);
        if (!wait_readable(path.receiver, WAIT_MS) || answer(path, in, sizeof in) < 0 ||
            !wait_readable(path.sender, WAIT_MS)) {
            ++lost;
            continue;
        }
        ssize_t n = recv(path.sender, in, sizeof in, 0);
        if (n != ssize_t(length) || load_le32(in + path.header) != uint32_t(i)) {
            ++lost;
            continue;
        }
        samples.push_back((now_s() - start) * 1e6);
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples.empty() ? 0.0 : samples[size_t(q * double(samples.size() - 1))];
    };
    printf("round_trips=%zu lost=%d p50_us=%.1f p99_us=%.1f\n", samples.size(), lost, at(0.5),
           at(0.99));
}

// Sends `rate` datagrams a second for the trial's length, paced in 1 ms steps, and counts
// the trial's datagrams that arrive. Returns the number lost.
long one_way(Path& path, const Options& options, long rate, uint32_t trial) {
    static uint8_t out[LARGEST] = {};
    memcpy(out, path.to_receiver, path.header);
    store_le32(out + path.header, trial);
    size_t length = path.header + options.payload;
    mmsghdr sends[BATCH] = {};
    iovec send_part{out, length};
    for (mmsghdr& message : sends) {
        message.msg_hdr.msg_iov = &send_part;
        message.msg_hdr.msg_iovlen = 1;
    }
    static uint8_t buffers[BATCH][LARGEST + 1];
    mmsghdr receives[BATCH] = {};
    iovec receive_parts[BATCH];
    for (int i = 0; i < BATCH; ++i) {
        receive_parts[i] = {buffers[i], sizeof buffers[i]};
        receives[i].msg_hdr.msg_iov = &receive_parts[i];
        receives[i].msg_hdr.msg_iovlen = 1;
    }
    long total = long(double(rate) * options.seconds);
    long sent = 0, arrived = 0;
    double start = now_s();
    double end = start + options.seconds;
    double last_arrival = start;
    for (;;) {
        double now = now_s();
        if (sent < total) {
            long due = std::min(total, long(double(rate) * (now - start)) + 1);
            while (sent < due) {
                int count = int(std::min<long>(BATCH, due - sent));
                int done = sendmmsg(path.sender, sends, unsigned(count), 0);
                if (done <= 0) break;
                sent += done;
            }
        } else if (arrived >= sent || now - std::max(end, last_arrival) > WAIT_MS / 1000.0) {
            break;
        }
        if (!wait_readable(path.receiver, 1)) continue;
        int count = recvmmsg(path.receiver, receives, BATCH, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < count; ++i) {
            if (receives[i].msg_len == length && load_le32(buffers[i] + path.header) == trial)
                ++arrived;
        }
        if (count > 0) last_arrival = now_s();
    }
    long lost = sent - arrived;
    printf("rate=%ld sent=%ld arrived=%ld lost=%ld\n", rate, sent, arrived, lost);
    fflush(stdout);
    return lost;
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        // A whole number, brought into [low, high]; false for anything else.
        auto number = [&](long low, long high, long* out) {
            if (!parse_decimal(value(), 0L, LONG_MAX, out)) return false;
            *out = std::clamp(*out, low, high);
            return true;
        };
        long given = 0;
        if (strcmp(argv[i], "--relay") == 0) {
            if (!number(0, 65535, &given)) return false;
            options->relay_port = uint16_t(given);
        } else if (strcmp(argv[i], "--tunnel") == 0) {
            if (!number(0, 65535, &given)) return false;
            options->tunnel_port = uint16_t(given);
        } else if (strcmp(argv[i], "--sink") == 0) {
            if (!number(0, 65535, &given)) return false;
            options->sink_port = uint16_t(given);
        } else if (strcmp(argv[i], "--round-trips") == 0) {
            if (!number(0, 100000, &given)) return false;
            options->round_trips = int(given);
        } else if (strcmp(argv[i], "--seconds") == 0) {
            options->seconds = std::clamp(atof(value()), 0.1, 10.0);
        } else if (strcmp(argv[i], "--payload") == 0) {
            // Through the tunnel, two kiv ends carry any UDP datagram; the relay alone 1400.
            if (!number(8, 65507, &given)) return false;
            options->payload = size_t(given);
        } else if (strcmp(argv[i], "--rates") == 0) {
            for (char* rate = strtok(const_cast<char*>(value()), ",");
                 rate && options->rates.size() < MAX_RATES; rate = strtok(nullptr, ",")) {
                if (!parse_decimal(rate, 0L, LONG_MAX, &given)) return false;
                options->rates.push_back(std::clamp(given, 1L, 2'000'000L));
            }
        } else {
            return false;
        }
    }
    if (options->relay_port != 0 && options->payload > MAX_DATAGRAM - HEADER_SIZE) return false;
    return (options->relay_port != 0) != (options->tunnel_port != 0 && options->sink_port != 0);
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
    using namespace kiv;
    Options options;
    if (!parse(argc, argv, &options)) {
        fprintf(stderr, "%s\n", USAGE);
        return 2;
    }
    Path path = options.relay_port != 0 ? relay_path(options.relay_port)
                                        : tunnel_path(options.tunnel_port, options.sink_port);
    if (options.round_trips > 0) round_trips(path, options);
    long best = 0;
    uint32_t trial = 0xF0000000;
    for (long rate : options.rates) {
        if (one_way(path, options, rate, ++trial) == 0) best = std::max(best, rate);
    }
    if (!options.rates.empty()) printf("highest_rate_without_loss=%ld\n", best);
    return 0;
}
