// kiv-handover: a relay replaced (or reloaded) under steady traffic, with this program as
// the service manager that keeps the relay's descriptors between two starts. It opens R
// rooms of C clients on loopback, sends N datagrams a second each way per room, and in the
// middle either restarts the relay (SIGTERM, the stored descriptors passed to a new one,
// perhaps with other options) or rotates its open key and sends SIGHUP. Then it prints what
// was lost, the longest pause in forwarding and what the socket's queue held meanwhile.
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "traffic.hpp"
#include "wire/open_token.hpp"
#include "wire/protocol.hpp"

extern char** environ;

namespace kiv {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Options {
    const char* relay = nullptr;
    int rooms = 256;
    int clients = 8;
    int rate = 100;  // datagrams a second each way per room
    double before_s = 3;
    double after_s = 3;
    std::string first;               // options of the first relay
    std::string then;                // options of the second, or of the first again
    const char* key_file = nullptr;  // rotate this key and reload instead of restarting
};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
        size_t end = text.find(' ', at);
        out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

// The manager's side of the descriptor store: the notify socket and what is stored on it.
struct Store {
    int fd = -1;
    std::string address = "kiv-handover-" + std::to_string(getpid());
    std::vector<std::pair<std::string, int>> stored;

    void open() {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        memcpy(name.sun_path + 1, address.data(), address.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&name),
                 socklen_t(offsetof(sockaddr_un, sun_path) + 1 + address.size())) != 0) {
            perror("notify socket");
            exit(1);
        }
    }
    // Takes every message waiting: FDSTORE=1 keeps the descriptors under FDNAME,
    // FDSTOREREMOVE=1 drops that name, anything else (a barrier) is answered by closing.
    void receive() {
        for (;;) {
            char text[1024];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
            iovec part{text, sizeof text - 1};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t length = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
            if (length < 0) return;
            std::string said(text, size_t(length));
            std::string name;
            if (size_t at = said.find("FDNAME="); at != std::string::npos)
                name = said.substr(at + 7, said.find('\n', at) - at - 7);
            bool store = said.find("FDSTORE=1") != std::string::npos;
            if (said.find("FDSTOREREMOVE=1") != std::string::npos) {
                for (auto& entry : stored) {
                    if (entry.first == name) close(std::exchange(entry.second, -1));
                }
                std::erase_if(stored, [](auto& entry) { return entry.second < 0; });
            }
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
                    int passed;
                    memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                    if (store)
                        stored.emplace_back(name, passed);
                    else
                        close(passed);
                }
            }
        }
    }
    int named(const std::string& name) const {
        for (auto& entry : stored) {
            if (entry.first == name) return entry.second;
        }
        return -1;
    }
};

uint32_t socket_memory(int fd, int field) {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &length) != 0) return 0;
    return meminfo[field];
}

// The most the relay's socket held in its queue while the manager watched it (no process of
// the relay reading it, or one starting up).
struct QueueWatch {
    int fd = -1;
    uint32_t peak_bytes = 0;
    void sample() {
        if (fd >= 0) peak_bytes = std::max(peak_bytes, socket_memory(fd, SK_MEMINFO_RMEM_ALLOC));
    }
};
QueueWatch queue_watch;

struct Child {
    pid_t pid = -1;
    int out = -1;
    uint16_t port = 0;
    off_t read_offset = 0;
    std::string pending;
};

// A line of the relay's output, waiting at most `limit_ms`; "" when none came.
std::string next_line(Child& child, int limit_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        if (size_t end = child.pending.find('\n'); end != std::string::npos) {
            std::string line = child.pending.substr(0, end);
            child.pending.erase(0, end + 1);
            return line.size() > 20 ? line.substr(20) : line;  // without the stamp
        }
        char chunk[4096];
        ssize_t n = pread(child.out, chunk, sizeof chunk, child.read_offset);
        if (n > 0) child.read_offset += n;
        if (n > 0) {
            child.pending.append(chunk, size_t(n));
            continue;
        }
        if (Clock::now() >= deadline) return "";
        queue_watch.sample();
        usleep(200);
    }
}

// Starts the relay as the manager would, with what the store holds at 3, 4...
Child start_relay(const Options& options, const std::string& extra, Store& store) {
    std::vector<std::string> args = {"/bin/sh", "-c", "export LISTEN_PID=$$; exec \"$0\" \"$@\"",
                                     options.relay, "--hand-over"};
    for (std::string& word : words(extra))
        args.push_back(word);
    std::vector<std::string> env = {"NOTIFY_SOCKET=@" + store.address};
    std::string names;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // A file takes every line at once, as the journal would: a relay's output never waits.
    char path[] = "/tmp/kiv-handover-log-XXXXXX";
    int log_fd = mkstemp(path);
    if (log_fd < 0) exit(1);
    unlink(path);
    posix_spawn_file_actions_adddup2(&actions, log_fd, 1);
    std::vector<int> high;
    for (size_t i = 0; i < store.stored.size(); ++i) {
        high.push_back(fcntl(store.stored[i].second, F_DUPFD_CLOEXEC, 100));
        posix_spawn_file_actions_adddup2(&actions, high.back(), int(3 + i));
        names += (i ? ":" : "") + store.stored[i].first;
    }
    if (!high.empty()) {
        env.push_back("LISTEN_FDS=" + std::to_string(high.size()));
        env.push_back("LISTEN_FDNAMES=" + names);
    }
    for (char** entry = environ; *entry; ++entry)
        env.emplace_back(*entry);
    std::vector<char*> argv, envp;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    Child child;
    if (posix_spawn(&child.pid, "/bin/sh", &actions, nullptr, argv.data(), envp.data()) != 0) {
        perror("posix_spawn");
        exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : high)
        close(fd);
    child.out = log_fd;
    std::string banner = next_line(child, 5000);
    size_t at = banner.find("UDP ");
    if (at == std::string::npos) {
        fprintf(stderr, "kiv-handover: no banner from the relay\n");
        exit(1);
    }
    child.port = uint16_t(atoi(banner.c_str() + at + 4));
    return child;
}

constexpr size_t DATAGRAM_BYTES = HEADER_SIZE + 8;
constexpr uint32_t JOIN = 0xFFFFFFFF;  // the sequence number of a join, not counted

struct Room {
    int host = -1;
    uint32_t id = 0;
    std::vector<int> clients;
    std::vector<uint32_t> tag_of;  // by client; 0 until joined
    uint64_t sent_c2h = 0, sent_h2c = 0, got_c2h = 0, got_h2c = 0;
    std::vector<double> last_at_client;    // when each client last got a datagram
    std::vector<double> last_from_client;  // when the host last got one from each client
};

struct Run {
    Options options;
    std::vector<Room> rooms;
    Peer relay;
    int poller = -1;
    uint64_t errors = 0;
    double last_forward_s = -1;
    std::vector<std::pair<double, double>> gaps;  // pauses over 10 ms: length, end
    Clock::time_point start = Clock::now();
    double steady_from_s = 0;
    OpenKey key;
};

void send_header(int fd, const Peer& to, MsgType type, uint32_t value, const uint8_t* payload,
                 size_t length) {
    uint8_t datagram[HEADER_SIZE + OPEN_TOKEN_BYTES + 8];
    header_write(datagram, type, value);
    memcpy(datagram + HEADER_SIZE, payload, length);
    (void)traffic::send_datagram(fd, to, datagram, HEADER_SIZE + length);
}

void send_numbered(Run& run, int fd, uint32_t value, uint64_t sequence, int room, int client) {
    uint8_t payload[8];
    memcpy(payload, &sequence, 4);
    uint16_t r = uint16_t(room), c = uint16_t(client);
    memcpy(payload + 4, &r, 2);
    memcpy(payload + 6, &c, 2);
    send_header(fd, run.relay, MsgType::MSG_DATA, value, payload, sizeof payload);
}

// Reads what every ready socket holds; `who` in the poller's data is room * 65536 + client + 1
// for a client, room * 65536 for a host.
void drain(Run& run, int limit_ms) {
    epoll_event ready[256];
    int count = epoll_wait(run.poller, ready, 256, limit_ms);
    double now = seconds_since(run.start);
    for (int i = 0; i < count; ++i) {
        Room& room = run.rooms[ready[i].data.u32 >> 16];
        int client = int(ready[i].data.u32 & 0xFFFF) - 1;
        int fd = client < 0 ? room.host : room.clients[size_t(client)];
        uint8_t datagram[2048];
        ssize_t n;
        while ((n = recv(fd, datagram, sizeof datagram, 0)) >= 0) {
            if (size_t(n) >= HEADER_SIZE && datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_ERROR))
                ++run.errors;
            if (size_t(n) == HEADER_SIZE && datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_OPENED))
                room.id = header_value(datagram);
            if (size_t(n) != DATAGRAM_BYTES || datagram[OFFSET_TYPE] != uint8_t(MsgType::MSG_DATA))
                continue;
            uint16_t from;
            memcpy(&from, datagram + HEADER_SIZE + 6, 2);
            uint32_t sequence;
            memcpy(&sequence, datagram + HEADER_SIZE, 4);
            if (client < 0) {
                room.tag_of[from] = header_value(datagram);
                if (sequence == JOIN) continue;
                ++room.got_c2h;
                room.last_from_client[from] = now;
            } else {
                ++room.got_h2c;
                room.last_at_client[size_t(client)] = now;
            }
            if (run.last_forward_s >= 0 && now - run.last_forward_s > 0.01)
                run.gaps.emplace_back(now - run.last_forward_s, now);
            run.last_forward_s = now;
        }
    }
}

void open_rooms(Run& run) {
    uint64_t expiry = uint64_t(time(nullptr)) + 3600;
    uint8_t token[OPEN_TOKEN_BYTES];
    if (run.options.key_file != nullptr) run.key.mint(expiry, token);
    for (int round = 0; round < 20; ++round) {
        int missing = 0;
        for (size_t r = 0; r < run.rooms.size(); ++r) {
            Room& room = run.rooms[r];
            if (room.id == 0) {
                ++missing;
                send_header(room.host, run.relay, MsgType::MSG_OPEN, 0, token,
                            run.options.key_file ? sizeof token : 0);
            }
            for (size_t c = 0; c < room.clients.size(); ++c) {
                if (room.id == 0 || room.tag_of[c] != 0) continue;
                ++missing;
                send_numbered(run, room.clients[c], room.id, JOIN, int(r), int(c));
            }
        }
        if (missing == 0) return;
        // The relay answers 1000 lookups a second relay-wide: joins come in rounds.
        for (int wait = 0; wait < 10; ++wait)
            drain(run, 100);
    }
    fprintf(stderr, "kiv-handover: not every room opened and joined\n");
    exit(1);
}

// Steady traffic for `seconds`: every room's clients in turn to the host, and the host to
// its clients in turn, `rate` a second each way per room.
void steady(Run& run, double seconds) {
    double from = seconds_since(run.start);
    uint64_t base_c2h = run.rooms[0].sent_c2h;
    for (double now = from; now < from + seconds; now = seconds_since(run.start)) {
        uint64_t due = base_c2h + uint64_t((now - from) * run.options.rate);
        for (size_t r = 0; r < run.rooms.size(); ++r) {
            Room& room = run.rooms[r];
            size_t clients = room.clients.size();
            while (room.sent_c2h < due) {
                size_t c = room.sent_c2h % clients;
                send_numbered(run, room.clients[c], room.id, room.sent_c2h++, int(r), int(c));
                size_t to = room.sent_h2c % clients;
                send_numbered(run, room.host, room.tag_of[to], room.sent_h2c++, int(r), -1);
            }
        }
        drain(run, 1);
    }
}

struct Restart {
    double term_s = 0, exited_s = 0, started_s = 0;
    uint32_t queued_bytes = 0, queue_limit = 0, drops = 0;
    std::string said_old, said_new;
};

void restart(Run& run, Store& store, Child& child, Restart& seen) {
    seen.term_s = seconds_since(run.start);
    kill(child.pid, SIGTERM);
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        store.receive();
        if (queue_watch.fd < 0) queue_watch.fd = store.named("socket");
        queue_watch.sample();
        usleep(200);
    }
    seen.exited_s = seconds_since(run.start);
    store.receive();
    std::string line;
    while (!(line = next_line(child, 0)).empty())
        seen.said_old = line;
    close(child.out);
    int sock = store.named("socket");
    queue_watch.fd = sock;
    if (sock >= 0) seen.queue_limit = socket_memory(sock, SK_MEMINFO_RCVBUF);
    child = start_relay(run.options, run.options.then + " " + std::to_string(child.port), store);
    seen.started_s = seconds_since(run.start);
    for (int i = 0; i < 4 && seen.said_new.rfind("hand-over", 0) != 0; ++i)
        seen.said_new = next_line(child, 2000);
    seen.queued_bytes = queue_watch.peak_bytes;
    if (sock >= 0) seen.drops = socket_memory(sock, SK_MEMINFO_DROPS);
}

// An open with `token` from a socket of its own: the reply's type and value.
std::pair<int, uint32_t> probe_open(const Run& run, const uint8_t (&token)[OPEN_TOKEN_BYTES]) {
    int fd = traffic::open_peer_socket();
    send_header(fd, run.relay, MsgType::MSG_OPEN, 0, token, sizeof token);
    uint8_t reply[64];
    ssize_t n = -1;
    for (int tries = 0; tries < 2000 && n < 0; ++tries) {
        n = recv(fd, reply, sizeof reply, 0);
        if (n < 0) usleep(1000);
    }
    close(fd);
    if (n < ssize_t(HEADER_SIZE)) return {-1, 0};
    return {reply[OFFSET_TYPE], header_value(reply)};
}

struct Reload {
    double at_s = 0;
    std::string said;
    std::pair<int, uint32_t> new_key, old_key, other_key;
};

bool write_key(const char* path, OpenKey* key) {
    uint8_t bytes[32];
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write(fd, bytes, sizeof bytes) == ssize_t(sizeof bytes);
    if (fd >= 0) close(fd);
    return written && key->set(bytes, sizeof bytes);
}

// The key file rotated and SIGHUP: then opens with the new key, the replaced one and a key the
// relay never had.
void reload(Run& run, Child& child, Reload& seen) {
    uint64_t expiry = uint64_t(time(nullptr)) + 600;
    uint8_t old_token[OPEN_TOKEN_BYTES], new_token[OPEN_TOKEN_BYTES], other_token[OPEN_TOKEN_BYTES];
    run.key.mint(expiry, old_token);
    OpenKey fresh, other;
    if (!write_key(run.options.key_file, &fresh) || !other.set(new_token, sizeof new_token))
        exit(1);
    fresh.mint(expiry, new_token);
    other.mint(expiry, other_token);
    seen.at_s = seconds_since(run.start);
    kill(child.pid, SIGHUP);
    for (int i = 0; i < 5000 && seen.said.rfind("reload", 0) != 0; ++i)
        seen.said = next_line(child, 2000);
    seen.new_key = probe_open(run, new_token);
    seen.old_key = probe_open(run, old_token);
    seen.other_key = probe_open(run, other_token);
}

std::string opened(const std::pair<int, uint32_t>& reply) {
    if (reply.first == int(MsgType::MSG_OPENED)) return "opened";
    if (reply.first == int(MsgType::MSG_ERROR))
        return "refused, error " + std::to_string(reply.second);
    return "no answer";
}

// What the kernel dropped at the relay's socket for want of room in its queue, since it was
// opened (the last column of /proc/net/udp).
std::string kernel_drops(uint16_t port) {
    FILE* table = fopen("/proc/net/udp", "r");
    char line[512];
    char wanted[8];
    snprintf(wanted, sizeof wanted, ":%04X ", port);
    std::string drops = "?";
    while (table != nullptr && fgets(line, sizeof line, table) != nullptr) {
        const char* local = strchr(line, ':');
        if (local == nullptr || strstr(local + 1, wanted) != strchr(local + 1, ':')) continue;
        size_t length = strlen(line);
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == ' '))
            line[--length] = '\0';
        const char* last = strrchr(line, ' ');
        drops = std::to_string(atol(last != nullptr ? last : line));
    }
    if (table != nullptr) fclose(table);
    return drops;
}

// The longest pause in forwarding that ended within [from_s, to_s].
std::pair<double, double> longest_gap(const Run& run, double from_s, double to_s) {
    std::pair<double, double> longest{0, 0};
    for (auto& gap : run.gaps) {
        if (gap.second >= from_s && gap.second <= to_s && gap.first > longest.first) longest = gap;
    }
    return longest;
}

void report_losses(const Run& run, double after_s) {
    int rooms_lost = 0, clients_lost = 0;
    uint64_t lost_c2h = 0, lost_h2c = 0, sent = 0;
    for (const Room& room : run.rooms) {
        int lost_here = 0;
        for (size_t c = 0; c < room.clients.size(); ++c)
            lost_here += room.last_from_client[c] < after_s || room.last_at_client[c] < after_s;
        rooms_lost += lost_here > 0;
        clients_lost += lost_here;
        lost_c2h += room.sent_c2h - room.got_c2h;
        lost_h2c += room.sent_h2c - room.got_h2c;
        sent += room.sent_c2h + room.sent_h2c;
    }
    printf("  rooms lost                %d of %zu\n", rooms_lost, run.rooms.size());
    printf("  clients lost              %d of %zu\n", clients_lost,
           run.rooms.size() * size_t(run.options.clients));
    printf("  datagrams lost            %llu to hosts, %llu to clients, of %llu sent\n",
           (unsigned long long)lost_c2h, (unsigned long long)lost_h2c, (unsigned long long)sent);
    printf("  errors from the relay     %llu\n", (unsigned long long)run.errors);
    auto around = longest_gap(run, after_s - 0.5, after_s + 0.5);
    auto overall = longest_gap(run, run.steady_from_s, 1e9);
    printf(
        "  longest forwarding gap    %.1f ms across the change, %.1f ms in the whole run "
        "(ending at %.3f s)\n",
        around.first * 1000, overall.first * 1000, overall.second);
}

int usage() {
    fprintf(stderr,
            "usage: kiv-handover --relay PATH [--rooms R] [--clients C] [--rate N] [--seconds S]\n"
            "                    [--first \"OPTIONS\"] [--then \"OPTIONS\"] [--reload-key FILE]\n");
    return 2;
}

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--relay")
            options->relay = value;
        else if (name == "--rooms")
            options->rooms = atoi(value);
        else if (name == "--clients")
            options->clients = atoi(value);
        else if (name == "--rate")
            options->rate = atoi(value);
        else if (name == "--seconds")
            options->before_s = options->after_s = atof(value) / 2;
        else if (name == "--first")
            options->first = value;
        else if (name == "--then")
            options->then = value;
        else if (name == "--reload-key")
            options->key_file = value;
        else
            return false;
    }
    if (options->then.empty()) options->then = options->first;
    return options->relay != nullptr && argc % 2 == 1;
}

// A socket for every host and client, each on a loopback address of its own.
bool make_peers(Run& run) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    run.poller = epoll_create1(EPOLL_CLOEXEC);
    run.rooms.resize(size_t(run.options.rooms));
    size_t clients = size_t(run.options.clients);
    for (size_t r = 0; r < run.rooms.size(); ++r) {
        Room& room = run.rooms[r];
        for (int c = -1; c < int(clients); ++c) {
            int fd = traffic::open_peer_socket(1 << 20);
            if (fd < 0) {
                perror("kiv-handover: peer socket");
                return false;
            }
            (c < 0 ? room.host : room.clients.emplace_back()) = fd;
            epoll_event event{EPOLLIN, {}};
            event.data.u32 = uint32_t(r << 16 | uint32_t(c + 1));
            epoll_ctl(run.poller, EPOLL_CTL_ADD, fd, &event);
        }
        room.tag_of.assign(clients, 0);
        room.last_at_client.assign(clients, -1);
        room.last_from_client.assign(clients, -1);
    }
    return true;
}

void report_reload(const Run& run, const Reload& reloaded) {
    printf("reload with a rotated key at %.3f s\n  relay said                \"%s\"\n",
           reloaded.at_s, reloaded.said.c_str());
    report_losses(run, reloaded.at_s + 0.5);
    printf("  new key's token           %s\n", opened(reloaded.new_key).c_str());
    printf("  replaced key's token      %s\n", opened(reloaded.old_key).c_str());
    printf("  unknown key's token       %s\n", opened(reloaded.other_key).c_str());
}

void report_restart(const Run& run, const Restart& restarted, const std::string& first) {
    const Options& options = run.options;
    double held_s = restarted.started_s - restarted.term_s;
    printf("restart at %.3f s: \"%s\" -> \"%s\"\n", restarted.term_s, first.c_str(),
           options.then.c_str());
    printf("  old relay said            \"%s\"\n  new relay said            \"%s\"\n",
           restarted.said_old.c_str(), restarted.said_new.c_str());
    printf("  SIGTERM to exit           %.1f ms\n", (restarted.exited_s - restarted.term_s) * 1000);
    printf("  exit to new relay ready   %.1f ms\n",
           (restarted.started_s - restarted.exited_s) * 1000);
    printf("  receive queue             at most %u bytes held of %u, %u dropped\n",
           restarted.queued_bytes, restarted.queue_limit, restarted.drops);
    printf("  datagrams it held         about %.0f (%.1f ms at %d a second)\n",
           held_s * 2 * options.rate * options.rooms, held_s * 1000,
           2 * options.rate * options.rooms);
    report_losses(run, restarted.started_s + 0.5);
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
    using namespace kiv;
    Run run;
    Options& options = run.options;
    if (!parse_options(argc, argv, &options)) return usage();
    srandom(unsigned(getpid()));
    Store store;
    store.open();
    std::string first = options.first;
    if (options.key_file != nullptr) {
        if (!write_key(options.key_file, &run.key)) return 1;
        first += std::string(" --open-key ") + options.key_file;
        options.then = first;
    }
    Child child = start_relay(options, first + " 0", store);
    run.relay = traffic::relay_address(child.port);
    if (!make_peers(run)) return 1;
    open_rooms(run);
    run.steady_from_s = seconds_since(run.start) + 0.1;
    steady(run, options.before_s);
    Restart restarted;
    Reload reloaded;
    std::thread change([&] {
        if (options.key_file != nullptr)
            reload(run, child, reloaded);
        else
            restart(run, store, child, restarted);
    });
    steady(run, options.after_s);
    change.join();
    // What is still on its way arrives, on a busy machine late: read until 500 ms pass without
    // a forward, or 10 s.
    for (int i = 0; i < 1000 && seconds_since(run.start) - run.last_forward_s < 0.5; ++i)
        drain(run, 10);
    printf("%d rooms, %d clients, %d datagrams/s each way per room, %.1f s of traffic\n",
           options.rooms, options.rooms * options.clients, options.rate,
           options.before_s + options.after_s);
    if (options.key_file != nullptr)
        report_reload(run, reloaded);
    else
        report_restart(run, restarted, first);
    printf("  relay socket's drops      %s (the kernel's count, whole run)\n",
           kernel_drops(child.port).c_str());
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    return 0;
}
