// kiv-load: drives a relay on 127.0.0.1 with H hosts and H x C clients speaking the relay's
// protocol, and reports how many datagrams it delivered per second or how long a round
// trip takes. It has to outrun a batched forwarder from one core, so it sends in bursts:
// one UDP GSO send (or one sendmmsg where GSO is unavailable) carries a burst of datagrams
// from one peer, and receivers drain with recvmmsg on whichever sockets epoll reports.
//
// Throughput runs keep a bounded number of datagrams in flight: enough to keep the relay
// busy, few enough that the generator's own sockets never overflow, so what is counted is
// what the relay forwarded. Everything is bounded: the duration, every wait, every retry.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/segment_control.hpp"
#include "relay/settings.hpp"
#include "traffic.hpp"
#include "wire/number_text.hpp"
#include "wire/peer.hpp"

namespace kiv {
namespace {

constexpr const char* USAGE =
    "usage: kiv-load --port P [--hosts H] [--clients C] [--payload BYTES] [--duration S]\n"
    "                [--direction c2h|h2c|both] [--latency] [--burst N] [--window N] [--no-gso] "
    "[--ipv6]\n"
    "       kiv-load --direct [--hosts H] ...   clients send straight to hosts, no relay";
constexpr int RECEIVE_BATCH = 64;
constexpr size_t RECEIVE_SLOT = 2048;
constexpr int SETUP_TRIES = 5;
constexpr int SETUP_WAIT_MS = 500;
constexpr double MAX_DURATION_S = 50;  // the relay forgets peers silent for 60 s
constexpr double WARMUP_S = 0.2;
constexpr double STALL_S = 0.02;  // in-flight datagrams not answered by then count as lost

enum class Direction { c2h, h2c, both };

struct Options {
    uint16_t port = 0;
    int hosts = 32;
    int clients = 8;
    int payload = 64;
    double duration_s = 2;
    Direction direction = Direction::c2h;
    bool latency = false;
    int burst = 16;
    int window = 8192;
    bool gso = true;
    // No relay: clients send straight to their host's socket. What the generator moves by
    // itself is the ceiling any forwarder can be measured against with it.
    bool direct = false;
    // Every peer on ::1 and the relay at [::1]:port (one started with --bind :: or ::1).
    bool ipv6 = false;
};

struct Host {
    int fd = -1;
    Peer addr;
    uint32_t room_id = 0;
    std::vector<uint32_t> tags;  // by client index within the host; 0 until joined
};

struct Client {
    int fd = -1;
    int host = 0;
};

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// CPU time this process used, user and system: shows whether the generator itself was the
// bottleneck of a run.
double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "kiv-load: %s\n", what);
    exit(1);
}

int open_peer_socket(bool ipv6) {
    int fd = traffic::open_peer_socket(1 << 20, ipv6);
    if (fd < 0) fail("socket: out of descriptors or loopback addresses? (raise ulimit -n)");
    return fd;
}

class Load {
  public:
    explicit Load(const Options& options) : options_(options) {
        relay_ = traffic::relay_address(uint16_t(options.port), options.ipv6);
        segment_bytes_ = HEADER_SIZE + size_t(options.payload);
        // One GSO send may carry at most 64 segments and 64 KiB.
        burst_ = std::min({options.burst, 64, int(65000 / segment_bytes_)});
        burst_ = std::max(burst_, 1);
        receive_buffers_.resize(RECEIVE_BATCH * RECEIVE_SLOT);
        gso_ = options.gso;
    }

    void setup() {
        hosts_.resize(size_t(options_.hosts));
        for (Host& host : hosts_) {
            host.fd = open_peer_socket(options_.ipv6);
            socklen_t length = Peer::RECEIVE_CAPACITY;
            getsockname(host.fd, host.addr.receive_name(), &length);
            host.tags.assign(size_t(options_.clients), 0);
            if (options_.direct) {
                host.room_id = 1;  // any value a host accepts as a client's tag
            } else {
                open_room(host);
            }
        }
        clients_.resize(size_t(options_.hosts * options_.clients));
        for (size_t index = 0; index < clients_.size(); ++index) {
            clients_[index].fd = open_peer_socket(options_.ipv6);
            clients_[index].host = int(index) / options_.clients;
        }
        if (options_.direct) return;
        for (int host = 0; host < options_.hosts; ++host)
            join_clients(host);
    }

    void teardown() {
        if (options_.direct) return;
        uint8_t datagram[HEADER_SIZE];
        for (Client& client : clients_) {
            header_write(datagram, MsgType::MSG_LEAVE, 0);
            (void)send_one(client.fd, datagram, sizeof datagram);  // courtesy: a lost one times out
            close(client.fd);
        }
        for (Host& host : hosts_) {
            header_write(datagram, MsgType::MSG_CLOSE, 0);
            (void)send_one(host.fd, datagram, sizeof datagram);
            close(host.fd);
        }
    }

    void throughput() {
        build_bursts();
        int epoll_fd = epoll_create1(0);
        if (epoll_fd < 0) fail("epoll_create1");
        bool to_hosts = options_.direction != Direction::h2c;
        bool to_clients = options_.direction != Direction::c2h;
        if (to_hosts) watch(epoll_fd, hosts_, 0);
        if (to_clients) watch(epoll_fd, clients_, RECEIVER_CLIENT);

        double start = now_s();
        double counted_from = start + WARMUP_S;
        double end = counted_from + options_.duration_s;
        uint64_t c2h_at_start = 0, h2c_at_start = 0;
        bool counting = false;
        double cpu_at_start = cpu_seconds();
        double last_progress = start;
        uint64_t last_received = 0;
        size_t next_client = 0, next_host = 0;
        bool next_is_c2h = to_hosts;
        std::vector<epoll_event> events(512);

        for (double now = start; now < end; now = now_s()) {
            if (!counting && now >= counted_from) {
                counting = true;
                c2h_at_start = received_c2h_;
                h2c_at_start = received_h2c_;
            }
            for (int sends = 0; sends < 8 && in_flight() + uint64_t(burst_) <= window(); ++sends) {
                if (next_is_c2h) {
                    send_c2h_burst(clients_[client_in_turn(next_client)]);
                    next_client = (next_client + 1) % clients_.size();
                } else {
                    send_h2c_burst(hosts_[next_host]);
                    next_host = (next_host + 1) % hosts_.size();
                }
                if (to_hosts && to_clients) next_is_c2h = !next_is_c2h;
            }
            bool window_full = in_flight() + uint64_t(burst_) > window();
            int ready =
                epoll_wait(epoll_fd, events.data(), int(events.size()), window_full ? 1 : 0);
            for (int i = 0; i < ready; ++i)
                drain(events[i].data.u32);
            uint64_t received = received_c2h_ + received_h2c_;
            if (received != last_received) {
                last_received = received;
                last_progress = now;
            } else if (window_full && now - last_progress > STALL_S) {
                written_off_ += in_flight();  // lost on the way; stop waiting for them
                last_progress = now;
            }
        }
        close(epoll_fd);
        double seconds = options_.duration_s;
        double busy = (cpu_seconds() - cpu_at_start) / (now_s() - start);
        printf(
            "kiv-load mode=throughput direction=%s hosts=%d clients=%d payload=%d "
            "duration_s=%.2f gso=%d burst=%d sent=%llu delivered_c2h=%llu "
            "delivered_h2c=%llu c2h_per_s=%.0f h2c_per_s=%.0f total_per_s=%.0f lost=%llu "
            "bad=%llu load_cpu=%.2f\n",
            direction_name(), options_.hosts, options_.clients, options_.payload, seconds,
            int(gso_), burst_, (unsigned long long)sent_, (unsigned long long)received_c2h_,
            (unsigned long long)received_h2c_, double(received_c2h_ - c2h_at_start) / seconds,
            double(received_h2c_ - h2c_at_start) / seconds,
            double(received_c2h_ - c2h_at_start + received_h2c_ - h2c_at_start) / seconds,
            (unsigned long long)written_off_, (unsigned long long)bad_, busy);
    }

    // Ping-pong through the relay, one datagram in flight: client to host, host back to
    // the same client by its tag. Pairs are taken in turn across the whole table.
    void latency() {
        std::vector<double> round_trips_us;
        round_trips_us.reserve(1 << 20);
        std::vector<uint8_t> datagram(segment_bytes_);
        uint64_t lost = 0;
        double end = now_s() + options_.duration_s;
        for (uint32_t sequence = 1; now_s() < end && round_trips_us.size() < (1 << 20);
             ++sequence) {
            Client& client = clients_[sequence % clients_.size()];
            Host& host = hosts_[size_t(client.host)];
            uint32_t tag = host.tags[(sequence % clients_.size()) % size_t(options_.clients)];
            store_le32(datagram.data() + HEADER_SIZE, sequence);
            double start = now_s();
            header_write(datagram.data(), MsgType::MSG_DATA, host.room_id);
            (void)send_one(client.fd, datagram.data(), datagram.size());
            if (!await_sequence(host.fd, sequence)) {
                ++lost;
                continue;
            }
            header_write(datagram.data(), MsgType::MSG_DATA, tag);
            (void)send_one(host.fd, datagram.data(), datagram.size());
            if (!await_sequence(client.fd, sequence)) {
                ++lost;
                continue;
            }
            round_trips_us.push_back((now_s() - start) * 1e6);
        }
        std::sort(round_trips_us.begin(), round_trips_us.end());
        auto percentile = [&](double p) {
            if (round_trips_us.empty()) return 0.0;
            return round_trips_us[size_t(p * double(round_trips_us.size() - 1))];
        };
        printf(
            "kiv-load mode=latency hosts=%d clients=%d payload=%d duration_s=%.2f "
            "samples=%zu lost=%llu p50_us=%.1f p90_us=%.1f p99_us=%.1f\n",
            options_.hosts, options_.clients, options_.payload, options_.duration_s,
            round_trips_us.size(), (unsigned long long)lost, percentile(0.5), percentile(0.9),
            percentile(0.99));
    }

  private:
    static constexpr uint32_t RECEIVER_CLIENT = 1u << 31;

    const char* direction_name() const {
        switch (options_.direction) {
            case Direction::c2h:
                return "c2h";
            case Direction::h2c:
                return "h2c";
            case Direction::both:
                return "both";
        }
        return "?";
    }

    // Datagrams written off as lost may still turn up late, so the difference can go below 0.
    uint64_t in_flight() const {
        uint64_t settled = received_c2h_ + received_h2c_ + written_off_;
        return sent_ > settled ? sent_ - settled : 0;
    }
    uint64_t window() const { return uint64_t(options_.window); }

    // Clients take turns host by host (client 0 of every host, then client 1, ...), so
    // successive bursts go to different hosts, as independent peers' traffic would.
    size_t client_in_turn(size_t turn) const {
        size_t hosts = hosts_.size();
        return (turn % hosts) * size_t(options_.clients) + turn / hosts;
    }

    bool send_one(int fd, const uint8_t* data, size_t length) {
        return traffic::send_datagram(fd, relay_, data, length);
    }

    // Waits up to `wait_ms` for one datagram on `fd`; returns its length or -1.
    ssize_t receive_one(int fd, uint8_t* buffer, size_t size, int wait_ms) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, wait_ms) <= 0) return -1;
        return recv(fd, buffer, size, MSG_DONTWAIT);
    }

    void open_room(Host& host) {
        uint8_t datagram[RECEIVE_SLOT];
        for (int attempt = 0; attempt < SETUP_TRIES && host.room_id == 0; ++attempt) {
            header_write(datagram, MsgType::MSG_OPEN, 0);
            (void)send_one(host.fd, datagram, HEADER_SIZE);
            ssize_t length = receive_one(host.fd, datagram, sizeof datagram, SETUP_WAIT_MS);
            if (length < ssize_t(HEADER_SIZE)) continue;
            if (datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_OPENED)) {
                host.room_id = header_value(datagram);
            } else if (datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_ERROR)) {
                fail("the relay refused to open a room (table full?)");
            }
        }
        if (host.room_id == 0) fail("no answer to MSG_OPEN (is the relay running?)");
    }

    // Each client sends one datagram carrying its index; the host learns the client's tag
    // from the forward. Lost joins are retried.
    void join_clients(int host_index) {
        Host& host = hosts_[size_t(host_index)];
        uint8_t datagram[RECEIVE_SLOT];
        for (int attempt = 0; attempt < SETUP_TRIES; ++attempt) {
            int missing = 0;
            for (int c = 0; c < options_.clients; ++c) {
                if (host.tags[size_t(c)] != 0) continue;
                ++missing;
                header_write(datagram, MsgType::MSG_DATA, host.room_id);
                store_le32(datagram + HEADER_SIZE, uint32_t(c));
                (void)send_one(clients_[size_t(host_index * options_.clients + c)].fd, datagram,
                               HEADER_SIZE + 4);
            }
            if (missing == 0) return;
            for (int got = 0; got < missing; ++got) {
                ssize_t length = receive_one(host.fd, datagram, sizeof datagram, SETUP_WAIT_MS);
                if (length < 0) break;
                if (length < ssize_t(HEADER_SIZE + 4)) continue;
                uint32_t index = load_le32(datagram + HEADER_SIZE);
                if (datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA) &&
                    index < uint32_t(options_.clients)) {
                    host.tags[index] = header_value(datagram);
                }
            }
        }
        for (uint32_t tag : host.tags) {
            if (tag == 0) fail("a client could not join (room full or datagrams lost)");
        }
    }

    // Per host, one burst image for each direction: client datagrams name the host's room,
    // host datagrams cycle through the host's client tags.
    void build_bursts() {
        size_t bytes = size_t(burst_) * segment_bytes_;
        c2h_bursts_.assign(hosts_.size() * bytes, 0);
        h2c_bursts_.assign(hosts_.size() * bytes, 0);
        for (size_t h = 0; h < hosts_.size(); ++h) {
            for (int s = 0; s < burst_; ++s) {
                size_t offset = h * bytes + size_t(s) * segment_bytes_;
                header_write(&c2h_bursts_[offset], MsgType::MSG_DATA, hosts_[h].room_id);
                uint32_t tag = hosts_[h].tags[size_t(s) % hosts_[h].tags.size()];
                header_write(&h2c_bursts_[offset], MsgType::MSG_DATA, tag);
            }
        }
        send_iov_.resize(size_t(burst_));
        send_messages_.resize(size_t(burst_));
    }

    void send_c2h_burst(const Client& client) {
        const Host& host = hosts_[size_t(client.host)];
        send_burst(client.fd, &c2h_bursts_[size_t(client.host) * burst_bytes()],
                   options_.direct ? &host.addr : &relay_);
    }
    void send_h2c_burst(const Host& host) {
        send_burst(host.fd, &h2c_bursts_[size_t(&host - hosts_.data()) * burst_bytes()], &relay_);
    }
    size_t burst_bytes() const { return size_t(burst_) * segment_bytes_; }

    void send_burst(int fd, uint8_t* data, const Peer* to) {
        if (gso_) {
            if (send_gso(fd, data, to)) return;
            if (errno == EAGAIN || errno == ENOBUFS) return;
            gso_ = false;  // the kernel or socket cannot segment: fall back for good
        }
        for (int s = 0; s < burst_; ++s) {
            send_iov_[size_t(s)] = {data + size_t(s) * segment_bytes_, segment_bytes_};
            msghdr& header = send_messages_[size_t(s)].msg_hdr;
            header = msghdr{};
            header.msg_name = const_cast<sockaddr*>(to->name());
            header.msg_namelen = to->name_length();
            header.msg_iov = &send_iov_[size_t(s)];
            header.msg_iovlen = 1;
        }
        int sent = sendmmsg(fd, send_messages_.data(), unsigned(burst_), 0);
        if (sent > 0) sent_ += uint64_t(sent);
    }

    bool send_gso(int fd, uint8_t* data, const Peer* to) {
        iovec iov{data, burst_bytes()};
        SegmentControl control{};
        msghdr message{};
        message.msg_name = const_cast<sockaddr*>(to->name());
        message.msg_namelen = to->name_length();
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        set_segment_size(message, control, uint16_t(segment_bytes_));
        if (sendmsg(fd, &message, 0) < 0) return false;
        sent_ += uint64_t(burst_);
        return true;
    }

    template <typename Peer>
    void watch(int epoll_fd, const std::vector<Peer>& peers, uint32_t kind) {
        for (size_t i = 0; i < peers.size(); ++i) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = kind | uint32_t(i);
            if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, peers[i].fd, &event) < 0) fail("epoll_ctl");
        }
    }

    void drain(uint32_t receiver) {
        bool at_client = (receiver & RECEIVER_CLIENT) != 0;
        uint32_t index = receiver & ~RECEIVER_CLIENT;
        int fd = at_client ? clients_[index].fd : hosts_[index].fd;
        mmsghdr messages[RECEIVE_BATCH];
        iovec iov[RECEIVE_BATCH];
        for (int i = 0; i < RECEIVE_BATCH; ++i) {
            iov[i] = {&receive_buffers_[size_t(i) * RECEIVE_SLOT], RECEIVE_SLOT};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        for (;;) {
            int count = recvmmsg(fd, messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
            if (count <= 0) return;
            for (int i = 0; i < count; ++i) {
                const uint8_t* data = &receive_buffers_[size_t(i) * RECEIVE_SLOT];
                bool good = messages[i].msg_len == segment_bytes_ &&
                            traffic::is_forward(data, messages[i].msg_len, at_client);
                if (!good) {
                    ++bad_;
                } else if (at_client) {
                    ++received_h2c_;
                } else {
                    ++received_c2h_;
                }
            }
            if (count < RECEIVE_BATCH) return;
        }
    }

    bool await_sequence(int fd, uint32_t sequence) {
        uint8_t buffer[RECEIVE_SLOT];
        for (;;) {
            ssize_t length = receive_one(fd, buffer, sizeof buffer, SETUP_WAIT_MS);
            if (length < 0) return false;
            if (length >= ssize_t(HEADER_SIZE + 4) && load_le32(buffer + HEADER_SIZE) == sequence) {
                return true;
            }
            // An answer that arrived after its wait gave up: skip it.
        }
    }

    Options options_;
    Peer relay_;
    size_t segment_bytes_ = 0;
    int burst_ = 1;
    bool gso_ = true;
    std::vector<Host> hosts_;
    std::vector<Client> clients_;
    std::vector<uint8_t> c2h_bursts_;
    std::vector<uint8_t> h2c_bursts_;
    std::vector<iovec> send_iov_;
    std::vector<mmsghdr> send_messages_;
    std::vector<uint8_t> receive_buffers_;
    uint64_t sent_ = 0;
    uint64_t received_c2h_ = 0;
    uint64_t received_h2c_ = 0;
    uint64_t written_off_ = 0;
    uint64_t bad_ = 0;
};

bool parse_int(const char* text, int low, int high, int* out) {
    return parse_decimal(text, low, high, out);
}

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (strcmp(name, "--latency") == 0) {
            options->latency = true;
            continue;
        }
        if (strcmp(name, "--no-gso") == 0) {
            options->gso = false;
            continue;
        }
        if (strcmp(name, "--ipv6") == 0) {
            options->ipv6 = true;
            continue;
        }
        if (strcmp(name, "--direct") == 0) {
            options->direct = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        int number = 0;
        if (strcmp(name, "--port") == 0 && parse_int(value, 1, 65535, &number)) {
            options->port = uint16_t(number);
        } else if (strcmp(name, "--hosts") == 0 && parse_int(value, 1, MAX_ROOMS, &number)) {
            options->hosts = number;
        } else if (strcmp(name, "--clients") == 0 && parse_int(value, 1, MAX_CLIENTS, &number)) {
            options->clients = number;
        } else if (strcmp(name, "--payload") == 0 &&
                   parse_int(value, 4, int(MAX_DATAGRAM - HEADER_SIZE), &number)) {
            options->payload = number;
        } else if (strcmp(name, "--burst") == 0 && parse_int(value, 1, 64, &number)) {
            options->burst = number;
        } else if (strcmp(name, "--window") == 0 && parse_int(value, 1, 1 << 20, &number)) {
            options->window = number;
        } else if (strcmp(name, "--duration") == 0) {
            char* end = nullptr;
            options->duration_s = strtod(value, &end);
            if (*end != '\0' || !(options->duration_s > 0) ||
                options->duration_s > MAX_DURATION_S) {
                return false;
            }
        } else if (strcmp(name, "--direction") == 0) {
            if (strcmp(value, "c2h") == 0) {
                options->direction = Direction::c2h;
            } else if (strcmp(value, "h2c") == 0) {
                options->direction = Direction::h2c;
            } else if (strcmp(value, "both") == 0) {
                options->direction = Direction::both;
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    if (options->direct) {
        // Only client-to-host traffic exists without a relay to address hosts' datagrams.
        return !options->latency && options->direction == Direction::c2h;
    }
    return options->port != 0;
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
    using namespace kiv;
    Options options;
    if (!parse_options(argc, argv, &options)) {
        fprintf(stderr, "%s\n", USAGE);
        return 2;
    }
    // A full table is 2304 sockets; ask for as many descriptors as the hard limit allows.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
    Load load(options);
    load.setup();
    if (options.latency) {
        load.latency();
    } else {
        load.throughput();
    }
    fflush(stdout);
    load.teardown();
    return 0;
}
