// kiv-attack: the attacks the relay's limits are meant to bound, run against a relay on
// loopback for a bounded time, with the figures that show whether they still work. Every
// datagram goes to 127.0.0.1; source addresses are chosen per datagram within 127.0.0.0/8
// (IP_PKTINFO on one socket), so thousands of sources cost one descriptor.
//
//   kiv-attack open-close PORT SECONDS   one address opens and closes rooms at full speed
//   kiv-attack join-leave PORT SECONDS   one address joins and leaves a room at full speed
//   kiv-attack scan PORT SECONDS SOURCES  SOURCES addresses try room ids at full speed
//   kiv-attack hold PORT                 8 addresses open every room they may
//   kiv-attack blind MPORT SECONDS       idle metrics connections renewed every 1.9 s
//                                        from one address, then from four, while another
//                                        address scrapes every 100 ms
//
// Each datagram attack also runs an honest host on an address of its own that opens a room
// and pings 20 times a second; its answers are counted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wire/protocol.hpp"

namespace {

using namespace kiv;
using Clock = std::chrono::steady_clock;

constexpr uint32_t LOOPBACK = 0x7F000001;
constexpr uint32_t ATTACKER = 0x7F000002;
constexpr uint32_t HONEST = 0x7F000009;
constexpr uint32_t SCAN_BASE = 0x7F100000;  // 127.16.0.0 and up
constexpr int BATCH = 64;

sockaddr_in address(uint32_t ip, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(ip);
    addr.sin_port = htons(port);
    return addr;
}

int udp_socket(uint32_t ip) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in self = address(ip, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        perror("kiv-attack: socket");
        exit(1);
    }
    int size = 1 << 22;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

void message(uint8_t* out, MsgType type, uint32_t value) {
    header_write(out, type, value);
}

// Reads what is waiting; returns how many datagrams were errors with value `error` (0: any
// datagram at all).
int drain(int fd, uint32_t error = 0) {
    int counted = 0;
    uint8_t buffer[1500];
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) return counted;
        if (error == 0) {
            ++counted;
        } else if (got >= 12 && buffer[OFFSET_TYPE] == uint8_t(MsgType::MSG_ERROR) &&
                   header_value(buffer) == error) {
            ++counted;
        }
    }
}

// An honest host: opens a room and pings; pongs are counted.
struct HonestHost {
    int fd = udp_socket(HONEST);
    sockaddr_in relay;
    uint32_t room = 0;
    int pings = 0, pongs = 0;
    Clock::time_point next_ping = Clock::now();

    explicit HonestHost(uint16_t port) : relay(address(LOOPBACK, port)) {
        uint8_t open[HEADER_SIZE];
        message(open, MsgType::MSG_OPEN, 0);
        for (int tries = 0; tries < 20 && room == 0; ++tries) {
            sendto(fd, open, sizeof open, 0, reinterpret_cast<sockaddr*>(&relay), sizeof relay);
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 100) == 1) {
                uint8_t answer[64];
                if (recv(fd, answer, sizeof answer, 0) >= 12 &&
                    answer[OFFSET_TYPE] == uint8_t(MsgType::MSG_OPENED)) {
                    room = header_value(answer);
                }
            }
        }
    }
    void tick() {
        uint8_t buffer[64];
        while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 12) {
            if (buffer[OFFSET_TYPE] == uint8_t(MsgType::MSG_PONG)) ++pongs;
        }
        if (Clock::now() < next_ping) return;
        next_ping += std::chrono::milliseconds(50);
        message(buffer, MsgType::MSG_PING, uint32_t(pings++));
        sendto(fd, buffer, HEADER_SIZE, 0, reinterpret_cast<sockaddr*>(&relay), sizeof relay);
    }
    void report() {
        printf("honest host on 127.0.0.9: room %s, pings answered %d of %d\n",
               room != 0 ? "opened" : "NOT opened", pongs, pings);
    }
};

// Sends batches of datagrams from chosen source addresses through one socket.
struct Sender {
    int fd = udp_socket(0);  // INADDR_ANY: each datagram names its source
    sockaddr_in relay;
    mmsghdr messages[BATCH] = {};
    iovec parts[BATCH];
    uint8_t bytes[BATCH][HEADER_SIZE];
    alignas(cmsghdr) char controls[BATCH][CMSG_SPACE(sizeof(in_pktinfo))];
    uint64_t sent = 0;

    explicit Sender(uint16_t port) : relay(address(LOOPBACK, port)) {}
    void set(int i, uint32_t source, MsgType type, uint32_t value) {
        message(bytes[i], type, value);
        parts[i] = {bytes[i], HEADER_SIZE};
        msghdr& header = messages[i].msg_hdr;
        header = {};
        header.msg_name = &relay;
        header.msg_namelen = sizeof relay;
        header.msg_iov = &parts[i];
        header.msg_iovlen = 1;
        header.msg_control = controls[i];
        header.msg_controllen = sizeof controls[i];
        cmsghdr* control = CMSG_FIRSTHDR(&header);
        control->cmsg_level = IPPROTO_IP;
        control->cmsg_type = IP_PKTINFO;
        control->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(source);
        memcpy(CMSG_DATA(control), &info, sizeof info);
    }
    void send(int count) {
        int done = sendmmsg(fd, messages, unsigned(count), 0);
        if (done > 0) sent += uint64_t(done);
    }
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int flood(uint16_t port, double seconds, bool join_leave) {
    HonestHost honest(port);
    Sender sender(port);
    uint32_t room = honest.room;
    auto start = Clock::now();
    while (seconds_since(start) < seconds) {
        for (int i = 0; i < BATCH; i += 2) {
            if (join_leave) {
                sender.set(i, ATTACKER, MsgType::MSG_DATA, room);
                sender.set(i + 1, ATTACKER, MsgType::MSG_LEAVE, 0);
            } else {
                sender.set(i, ATTACKER, MsgType::MSG_OPEN, 0);
                sender.set(i + 1, ATTACKER, MsgType::MSG_CLOSE, 0);
            }
        }
        sender.send(BATCH);
        drain(sender.fd);
        honest.tick();
    }
    double elapsed = seconds_since(start);
    printf("%s from 127.0.0.2 for %.1f s: %.0f datagrams/s sent\n",
           join_leave ? "join/leave" : "open/close", elapsed, double(sender.sent) / elapsed);
    honest.report();
    return 0;
}

int scan(uint16_t port, double seconds, uint32_t sources) {
    HonestHost honest(port);
    Sender sender(port);
    auto start = Clock::now();
    uint64_t answered = 0;
    uint32_t next_source = 0, id = 1;
    while (seconds_since(start) < seconds) {
        for (int i = 0; i < BATCH; ++i) {
            id = id % (MAX_ROOM_ID - 1) + 1;
            if (id == honest.room) ++id;
            sender.set(i, SCAN_BASE + next_source, MsgType::MSG_DATA, id++);
            next_source = (next_source + 1) % sources;
        }
        sender.send(BATCH);
        answered += uint64_t(drain(sender.fd, uint32_t(ErrorCode::ERR_NO_ROOM)));
        honest.tick();
    }
    double elapsed = seconds_since(start);
    // A client with the room's id, on an address of its own, after the scan.
    int client = udp_socket(0x7F00000A);
    uint8_t join[HEADER_SIZE];
    message(join, MsgType::MSG_DATA, honest.room);
    sendto(client, join, sizeof join, 0, reinterpret_cast<sockaddr*>(&sender.relay),
           sizeof sender.relay);
    pollfd ready{honest.fd, POLLIN, 0};
    bool joined = false;
    uint8_t got[64];
    for (int i = 0; i < 10 && !joined && poll(&ready, 1, 100) == 1; ++i) {
        joined = recv(honest.fd, got, sizeof got, 0) >= 12 &&
                 got[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA);
    }
    printf(
        "scan from %u addresses for %.1f s: %.0f probes/s sent, %.0f answered 'no such room'"
        "/s\n",
        sources, elapsed, double(sender.sent) / elapsed, double(answered) / elapsed);
    printf("client on 127.0.0.10 joining the honest room at once: %s\n", joined ? "yes" : "no");
    honest.report();
    return 0;
}

int hold(uint16_t port) {
    Sender sender(port);
    int opened = 0;
    for (uint32_t a = 0; a < 8; ++a) {
        for (int r = 0; r < 32; ++r) {
            // One socket per room: a room is an address and a port.
            int fd = udp_socket(ATTACKER + 0x100 * (a + 1));
            uint8_t open[HEADER_SIZE];
            message(open, MsgType::MSG_OPEN, 0);
            sendto(fd, open, sizeof open, 0, reinterpret_cast<sockaddr*>(&sender.relay),
                   sizeof sender.relay);
            pollfd ready{fd, POLLIN, 0};
            uint8_t answer[64];
            if (poll(&ready, 1, 200) == 1 && recv(fd, answer, sizeof answer, 0) >= 12 &&
                answer[OFFSET_TYPE] == uint8_t(MsgType::MSG_OPENED)) {
                ++opened;
            }
            // The descriptor stays open: the room's keep-alives would come from it.
        }
    }
    HonestHost honest(port);
    printf("8 addresses opened %d rooms; honest host %s\n", opened,
           honest.room != 0 ? "got a room" : "was refused");
    return 0;
}

int connect_from(uint32_t ip, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in self = address(ip, 0), server = address(LOOPBACK, port);
    bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
    if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool scrape(uint16_t port) {
    int fd = connect_from(LOOPBACK, port);
    if (fd < 0) return false;
    const char request[] = "GET /metrics HTTP/1.1\r\n\r\n";
    (void)!write(fd, request, sizeof request - 1);
    std::string answer;
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 1000) != 1) break;
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        answer.append(buffer, size_t(got));
    }
    close(fd);
    return answer.rfind("HTTP/1.1 200", 0) == 0;
}

int blind(uint16_t port, double seconds) {
    for (int sources : {1, 4}) {
        std::vector<int> idle(8, -1);
        auto start = Clock::now(), renewed = start - std::chrono::seconds(2);
        int scrapes = 0, served = 0;
        while (seconds_since(start) < seconds) {
            if (Clock::now() - renewed >= std::chrono::milliseconds(1900)) {
                for (size_t i = 0; i < idle.size(); ++i) {
                    if (idle[i] >= 0) close(idle[i]);
                    idle[i] = connect_from(ATTACKER + uint32_t(i) % uint32_t(sources), port);
                }
                renewed = Clock::now();
            }
            ++scrapes;
            served += scrape(port);
            usleep(100000);
        }
        for (int fd : idle) {
            if (fd >= 0) close(fd);
        }
        printf(
            "8 idle connections from %d address(es), renewed every 1.9 s: %d of %d scrapes "
            "from 127.0.0.1 served\n",
            sources, served, scrapes);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: kiv-attack open-close|join-leave|scan|hold|blind PORT ...\n");
        return 2;
    }
    std::string mode = argv[1];
    uint16_t port = uint16_t(atoi(argv[2]));
    double seconds = argc > 3 ? atof(argv[3]) : 3;
    if (seconds <= 0 || seconds > 60) seconds = 3;  // bounded whatever is asked
    if (mode == "open-close") return flood(port, seconds, false);
    if (mode == "join-leave") return flood(port, seconds, true);
    if (mode == "scan") return scan(port, seconds, argc > 4 ? uint32_t(atoi(argv[4])) : 20000);
    if (mode == "hold") return hold(port);
    if (mode == "blind") return blind(port, seconds);
    fprintf(stderr, "kiv-attack: unknown attack '%s'\n", mode.c_str());
    return 2;
}
