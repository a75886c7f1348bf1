// A bounded soak of the real relay: 32 hosts with 7 clients each exchange datagrams through
// it for a while, with churn (clients leave and come back, move between rooms, hosts close
// their rooms and open new ones). Every payload carries its sender, the host it is meant for,
// a sequence number and a checksum; hosts echo each datagram to the tag it came with. At the
// end it reports datagrams sent, delivered, lost, corrupted and misrouted, the relay's log
// lines against the events the soak caused, and the relay's resident memory.
//
//   kiv_soak [--seconds N] [--seed S]
//
// Exits non-zero if anything arrived corrupted or at the wrong peer, if the relay logged
// something the soak did not cause (or, with nothing lost, missed an event), if its resident
// memory grew after the warm-up, or if it stopped answering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e_steps.hpp"
#include "traffic.hpp"

namespace kiv::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::Bytes;
using enum MsgType;

constexpr int HOSTS = 32;
constexpr int CLIENTS_PER_HOST = 7;
constexpr int ROOM_SLOTS = 8;
constexpr int WINDOW = 3;                               // datagrams a client has in flight at most
constexpr size_t PAYLOAD_FIELDS = 16;                   // sender, host, sequence, checksum
constexpr size_t LARGEST = MAX_DATAGRAM - HEADER_SIZE;  // the largest payload forwarded
constexpr auto DRAIN_LIMIT = 1s;                        // a churn step waits this long for echoes
constexpr auto CHURN_EVERY = 4ms;
// The relay allocates nothing once running; after the warm-up has touched its buffers and
// table, its resident memory may move by a few pages at most.
constexpr long RSS_SLACK_KIB = 256;

struct Counters {
    uint64_t sent = 0, delivered = 0, corrupted = 0, misrouted = 0, refused = 0, stray = 0;
    uint64_t opens = 0, joins = 0, leaves = 0, closes = 0, closed_clients = 0;
    uint64_t moves = 0, drain_timeouts = 0;
};

uint32_t checksum(const uint8_t* payload, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        if (i >= 12 && i < 16) continue;  // the checksum's own field
        hash = (hash ^ payload[i]) * 16777619u;
    }
    return hash;
}

// A peer's socket, on a loopback address of its own as the load generator's peers are.
class Socket {
  public:
    Socket() : fd_(traffic::open_peer_socket()) {
        if (fd_ < 0) {
            perror("soak socket");
            exit(2);
        }
    }
    ~Socket() { close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    // A datagram the kernel refuses (loopback does when the relay's buffer is full) is lost
    // and counted as such.
    void send(const sockaddr_in& to, const uint8_t* data, size_t length) const {
        (void)traffic::send_datagram(fd_, to, data, length);
    }
    ssize_t receive(uint8_t* into, size_t size) const { return recv(fd_, into, size, 0); }

  private:
    int fd_ = -1;
};

enum class HostState { Opening, Open, Draining };
enum class ClientState { Idle, Active, Draining };
enum class ClientPlan { Leave, Move, HostCloses };

struct Host {
    Socket socket;
    HostState state = HostState::Opening;
    uint32_t room_id = 0;
    int members = 0;                        // clients that hold, or are about to take, a slot
    std::map<uint32_t, int> sender_of_tag;  // tags are never reused within one room
    Clock::time_point asked{};              // when the last MSG_OPEN went out
    Clock::time_point drain_started{};
};

struct Client {
    Socket socket;
    ClientState state = ClientState::Idle;
    ClientPlan plan = ClientPlan::Leave;
    int host = -1;        // whose room it sends to
    bool joined = false;  // its next datagram is not a join
    uint32_t sequence = 0;
    int outstanding = 0;  // sent, echo not yet back
    Clock::time_point idle_until{};
    Clock::time_point drain_started{};
};

class Soak {
  public:
    Soak(test::RelayProcess& relay, uint32_t seed)
        : relay_(relay), random_(seed), relay_addr_(traffic::relay_address(relay.port())) {
        hosts_ = std::vector<Host>(HOSTS);
        clients_ = std::vector<Client>(HOSTS * CLIENTS_PER_HOST);
        for (size_t i = 0; i < clients_.size(); ++i) {
            clients_[i].host = int(i) / CLIENTS_PER_HOST;
            clients_[i].state = ClientState::Active;  // joins once its host's room is open
            ++hosts_[size_t(clients_[i].host)].members;
        }
        for (Host& host : hosts_)
            ask_open(host);
        for (Host& host : hosts_)
            pollfds_.push_back({host.socket.fd(), POLLIN, 0});
        for (Client& client : clients_)
            pollfds_.push_back({client.socket.fd(), POLLIN, 0});
    }

    void run_for(Clock::duration length, bool churn) {
        auto end = Clock::now() + length;
        auto next_churn = Clock::now();
        while (Clock::now() < end) {
            if (churn) send_round();
            receive_all(1);
            read_log();
            if (churn && Clock::now() >= next_churn) {
                churn_step();
                next_churn += CHURN_EVERY;
            }
            advance_states(churn);
        }
    }

    // Stops sending and waits for what is in flight.
    // Waits for the echoes still in flight and for the answers to opens still waiting: an
    // open the relay has logged but whose answer is never read would count as a log line
    // the soak did not cause.
    void settle(Clock::duration limit) {
        auto end = Clock::now() + limit;
        while (Clock::now() < end && (in_flight() > 0 || opening() > 0)) {
            receive_all(10);
            read_log();
        }
        while (auto line = relay_.next_message(300ms))
            tally(*line);
    }

    const Counters& counters() const { return counters_; }
    const std::map<std::string, uint64_t>& log_kinds() const { return log_kinds_; }
    uint64_t logged_closed_clients() const { return logged_closed_clients_; }
    const std::vector<std::string>& unexpected_lines() const { return unexpected_lines_; }
    int opening() const {
        int total = 0;
        for (const Host& host : hosts_)
            total += host.state == HostState::Opening;
        return total;
    }
    int in_flight() const {
        int total = 0;
        for (const Client& client : clients_)
            total += client.outstanding;
        return total;
    }

  private:
    void ask_open(Host& host) {
        send_header(host.socket, MSG_OPEN, 0);
        host.asked = Clock::now();
    }

    void send_header(const Socket& socket, MsgType type, uint32_t value) {
        uint8_t header[HEADER_SIZE];
        header_write(header, type, value);
        socket.send(relay_addr_, header, sizeof header);
    }

    size_t payload_length(uint32_t sequence, size_t client) const {
        if (sequence % 61 == 0) return LARGEST;
        return PAYLOAD_FIELDS + (sequence * 131 + client * 17) % 400;
    }

    void send_data(size_t index) {
        Client& client = clients_[index];
        Host& host = hosts_[size_t(client.host)];
        uint32_t sequence = ++client.sequence;
        size_t length = payload_length(sequence, index);
        uint8_t* payload = buffer_ + HEADER_SIZE;
        store_le32(payload, uint32_t(index));
        store_le32(payload + 4, uint32_t(client.host));
        store_le32(payload + 8, sequence);
        for (size_t i = PAYLOAD_FIELDS; i < length; ++i)
            payload[i] = uint8_t(sequence + i);
        store_le32(payload + 12, checksum(payload, length));
        header_write(buffer_, MSG_DATA, host.room_id);
        client.socket.send(relay_addr_, buffer_, HEADER_SIZE + length);
        ++counters_.sent;
        ++client.outstanding;
        if (!client.joined) {
            client.joined = true;
            ++counters_.joins;
        }
    }

    void send_round() {
        for (size_t i = 0; i < clients_.size(); ++i) {
            Client& client = clients_[i];
            if (client.state != ClientState::Active || client.outstanding >= WINDOW) continue;
            if (hosts_[size_t(client.host)].state != HostState::Open) continue;
            send_data(i);
        }
    }

    void receive_all(int wait_ms) {
        if (poll(pollfds_.data(), pollfds_.size(), wait_ms) <= 0) return;
        for (size_t i = 0; i < pollfds_.size(); ++i) {
            if (!(pollfds_[i].revents & POLLIN)) continue;
            for (;;) {
                ssize_t length =
                    i < hosts_.size()
                        ? hosts_[i].socket.receive(buffer_, sizeof buffer_)
                        : clients_[i - hosts_.size()].socket.receive(buffer_, sizeof buffer_);
                if (length < 0) break;
                if (i < hosts_.size()) {
                    on_host_datagram(i, size_t(length));
                } else {
                    on_client_datagram(i - hosts_.size(), size_t(length));
                }
            }
        }
    }

    // The type of what arrived in the buffer; too short a datagram has none the relay sends.
    MsgType type_received(size_t length) const {
        return MsgType(length >= HEADER_SIZE ? buffer_[OFFSET_TYPE] : 0);
    }

    // A forward that arrives must be one the relay writes, whole, with a checksum that
    // matches.
    bool intact(size_t length, bool at_client) {
        if (length < HEADER_SIZE + PAYLOAD_FIELDS ||
            !traffic::is_forward(buffer_, length, at_client)) {
            return false;
        }
        const uint8_t* payload = buffer_ + HEADER_SIZE;
        size_t payload_length_seen = length - HEADER_SIZE;
        return load_le32(payload + 12) == checksum(payload, payload_length_seen) &&
               payload_length_seen ==
                   payload_length(load_le32(payload + 8), size_t(load_le32(payload)));
    }

    void on_host_datagram(size_t index, size_t length) {
        Host& host = hosts_[index];
        MsgType type = type_received(length);
        if (type == MSG_OPENED) {
            if (host.state == HostState::Opening) {
                host.room_id = header_value(buffer_);
                host.sender_of_tag.clear();
                host.state = HostState::Open;
                ++counters_.opens;
            }
            return;
        }
        if (type == MSG_ERROR) {
            ++counters_.refused;
            return;
        }
        if (type != MSG_DATA) {
            ++counters_.stray;
            return;
        }
        if (!intact(length, false)) {
            ++counters_.corrupted;
            return;
        }
        uint32_t tag = header_value(buffer_);
        uint32_t sender = load_le32(buffer_ + HEADER_SIZE);
        auto known = host.sender_of_tag.find(tag);
        if (load_le32(buffer_ + HEADER_SIZE + 4) != index ||
            (known != host.sender_of_tag.end() && known->second != int(sender))) {
            ++counters_.misrouted;
            return;
        }
        host.sender_of_tag[tag] = int(sender);
        ++counters_.delivered;
        if (host.state == HostState::Opening) return;  // closed since: no one to echo to
        header_write(buffer_, MSG_DATA, tag);          // the echo, to the tag given
        host.socket.send(relay_addr_, buffer_, length);
        ++counters_.sent;
    }

    void on_client_datagram(size_t index, size_t length) {
        Client& client = clients_[index];
        MsgType type = type_received(length);
        if (type == MSG_ERROR) {
            ++counters_.refused;
            return;
        }
        if (type != MSG_DATA) {
            ++counters_.stray;
            return;
        }
        if (!intact(length, true)) {
            ++counters_.corrupted;
            return;
        }
        if (load_le32(buffer_ + HEADER_SIZE) != index) {
            ++counters_.misrouted;
            return;
        }
        ++counters_.delivered;
        if (client.outstanding > 0) --client.outstanding;
    }

    // Picks an open host with a free slot other than `except`, or -1.
    int host_with_room(int except) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            int candidate = int(random_() % HOSTS);
            const Host& host = hosts_[size_t(candidate)];
            if (candidate != except && host.state == HostState::Open && host.members < ROOM_SLOTS) {
                return candidate;
            }
        }
        return -1;
    }

    void churn_step() {
        uint32_t dice = random_() % 100;
        if (dice < 70) {
            Client& client = clients_[random_() % clients_.size()];
            if (client.state != ClientState::Active) return;
            client.state = ClientState::Draining;
            client.plan = dice < 40 ? ClientPlan::Leave : ClientPlan::Move;
            client.drain_started = Clock::now();
        } else if (dice < 80) {
            Host& host = hosts_[random_() % hosts_.size()];
            if (host.state != HostState::Open) return;
            host.state = HostState::Draining;
            host.drain_started = Clock::now();
        }
    }

    bool drained(int outstanding, Clock::time_point since) {
        if (outstanding == 0) return true;
        if (Clock::now() - since < DRAIN_LIMIT) return false;
        ++counters_.drain_timeouts;  // its echoes are lost; go on without them
        return true;
    }

    void advance_states(bool churn) {
        auto now = Clock::now();
        for (size_t h = 0; h < hosts_.size(); ++h) {
            Host& host = hosts_[h];
            if (host.state == HostState::Opening && now - host.asked > 500ms) ask_open(host);
            if (host.state == HostState::Draining) close_when_drained(int(h));
        }
        for (Client& client : clients_) {
            if (client.state == ClientState::Draining && client.plan != ClientPlan::HostCloses &&
                drained(client.outstanding, client.drain_started)) {
                finish_client_plan(client);
            } else if (churn && client.state == ClientState::Idle && now >= client.idle_until) {
                int host = host_with_room(-1);
                if (host < 0) continue;
                client.host = host;
                ++hosts_[size_t(host)].members;
                client.joined = false;
                client.outstanding = 0;
                client.state = ClientState::Active;
            }
        }
    }

    void finish_client_plan(Client& client) {
        client.outstanding = 0;
        if (client.plan == ClientPlan::Move) {
            int target = host_with_room(client.host);
            if (target >= 0) {
                --hosts_[size_t(client.host)].members;
                ++hosts_[size_t(target)].members;
                client.host = target;
                client.joined = false;  // its next datagram moves it: a join in the new room
                ++counters_.moves;
            }
            client.state = ClientState::Active;
            return;
        }
        send_header(client.socket, MSG_LEAVE, 0);
        if (client.joined) ++counters_.leaves;  // otherwise the relay holds no slot for it
        --hosts_[size_t(client.host)].members;
        client.state = ClientState::Idle;
        client.idle_until = Clock::now() + std::chrono::milliseconds(20 + random_() % 200);
    }

    // A host closes once every client of its room has its echoes back, so that no datagram
    // is in flight to or from the room it gives up; then it opens a new one.
    void close_when_drained(int index) {
        Host& host = hosts_[size_t(index)];
        int outstanding = 0;
        for (Client& client : clients_) {
            if (client.host != index || client.state == ClientState::Idle) continue;
            if (client.state == ClientState::Active) {
                client.state = ClientState::Draining;
                client.plan = ClientPlan::HostCloses;
                client.drain_started = Clock::now();
            }
            outstanding += client.outstanding;
        }
        if (!drained(outstanding, host.drain_started)) return;
        uint64_t in_room = 0;
        for (Client& client : clients_) {
            if (client.host != index || client.state == ClientState::Idle) continue;
            if (client.joined) ++in_room;
            client.state = ClientState::Idle;
            client.outstanding = 0;
            client.idle_until = Clock::now() + std::chrono::milliseconds(random_() % 100);
        }
        send_header(host.socket, MSG_CLOSE, 0);
        ++counters_.closes;
        counters_.closed_clients += in_room;
        host.members = 0;
        host.state = HostState::Opening;
        ask_open(host);
    }

    void read_log() {
        while (auto line = relay_.next_message(0ms))
            tally(*line);
    }

    void tally(const std::string& line) {
        static const char* const KINDS[] = {"opened by",        "joined as",     " left",
                                            "(host closed it)", "(host silent)", "timed out"};
        for (const char* kind : KINDS) {
            if (line.find(kind) == std::string::npos) continue;
            ++log_kinds_[kind];
            if (strcmp(kind, "(host closed it)") == 0) {
                logged_closed_clients_ +=
                    strtoull(line.c_str() + line.rfind(", ") + 2, nullptr, 10);
            }
            return;
        }
        unexpected_lines_.push_back(line);
    }

    test::RelayProcess& relay_;
    std::mt19937 random_;
    sockaddr_in relay_addr_{};
    std::vector<Host> hosts_;
    std::vector<Client> clients_;
    std::vector<pollfd> pollfds_;
    Counters counters_;
    std::map<std::string, uint64_t> log_kinds_;
    uint64_t logged_closed_clients_ = 0;
    std::vector<std::string> unexpected_lines_;
    uint8_t buffer_[65536];
};

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

bool relay_answers(const test::RelayProcess& relay) {
    test::Peer peer;
    return bool(test::next_is_pong(relay, peer));
}

int run(double seconds, uint32_t seed) {
    // Hundreds of events a second from a few addresses, every one checked against the log:
    // far beyond the event budget and the log ceiling of a relay with its limits on.
    test::RelayProcess relay({"--limits", "off", "0"});
    long rss_start = resident_kib(relay.pid());
    Soak soak(relay, seed);
    auto started = Clock::now();
    soak.run_for(std::chrono::milliseconds(int64_t(seconds * 100)), true);  // warm-up
    long rss_warm = resident_kib(relay.pid());
    soak.run_for(std::chrono::milliseconds(int64_t(seconds * 900)), true);
    soak.settle(3s);
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    long rss_end = resident_kib(relay.pid());
    bool answers = relay_answers(relay);

    const Counters& c = soak.counters();
    uint64_t lost = c.sent > c.delivered ? c.sent - c.delivered : 0;
    auto logged = [&soak](const char* kind) {
        auto found = soak.log_kinds().find(kind);
        return found == soak.log_kinds().end() ? uint64_t(0) : found->second;
    };
    printf("soak: %d hosts x %d clients, seed %u, %.1f s\n", HOSTS, CLIENTS_PER_HOST, seed,
           elapsed);
    printf(
        "datagrams: sent %llu, delivered %llu, lost %llu, corrupted %llu, misrouted %llu "
        "(%.0f delivered/s)\n",
        (unsigned long long)c.sent, (unsigned long long)c.delivered, (unsigned long long)lost,
        (unsigned long long)c.corrupted, (unsigned long long)c.misrouted,
        double(c.delivered) / elapsed);
    printf("refused %llu, stray %llu, drains that timed out %llu, moves %llu\n",
           (unsigned long long)c.refused, (unsigned long long)c.stray,
           (unsigned long long)c.drain_timeouts, (unsigned long long)c.moves);
    printf(
        "events/log lines: opened %llu/%llu, joined %llu/%llu, left %llu/%llu, closed "
        "%llu/%llu with %llu/%llu clients, silent %llu, timed out %llu, other %zu\n",
        (unsigned long long)c.opens, (unsigned long long)logged("opened by"),
        (unsigned long long)c.joins, (unsigned long long)logged("joined as"),
        (unsigned long long)c.leaves, (unsigned long long)logged(" left"),
        (unsigned long long)c.closes, (unsigned long long)logged("(host closed it)"),
        (unsigned long long)c.closed_clients, (unsigned long long)soak.logged_closed_clients(),
        (unsigned long long)logged("(host silent)"), (unsigned long long)logged("timed out"),
        soak.unexpected_lines().size());
    printf("relay VmRSS: start %ld KiB, after warm-up %ld KiB, end %ld KiB\n", rss_start, rss_warm,
           rss_end);
    printf("relay answers a ping at the end: %s\n", answers ? "yes" : "NO");
    for (const std::string& line : soak.unexpected_lines())
        printf("unexpected: %s\n", line.c_str());

    // With nothing lost, every event the soak caused shows in the log exactly once; a lost
    // datagram may have carried an event, so then the counts are reported, not compared.
    bool log_matches = c.opens == logged("opened by") && c.joins == logged("joined as") &&
                       c.leaves == logged(" left") && c.closes == logged("(host closed it)") &&
                       c.closed_clients == soak.logged_closed_clients();
    bool rss_flat = rss_end - rss_warm <= RSS_SLACK_KIB;
    printf("log lines match events: %s; resident memory flat: %s\n",
           log_matches ? "yes" : (lost == 0 ? "NO" : "no (datagrams were lost)"),
           rss_flat ? "yes" : "NO");
    bool ok = c.corrupted == 0 && c.misrouted == 0 && soak.unexpected_lines().empty() &&
              logged("(host silent)") == 0 && logged("timed out") == 0 && answers &&
              c.delivered > 0 && (log_matches || lost > 0) && rss_flat;
    printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace kiv::soak

int main(int argc, char** argv) {
    double seconds = 10;
    uint32_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--seconds") == 0) {
            seconds = atof(argv[i + 1]);
        } else if (strcmp(argv[i], "--seed") == 0) {
            seed = uint32_t(strtoul(argv[i + 1], nullptr, 10));
        } else {
            fprintf(stderr, "usage: kiv_soak [--seconds N] [--seed S]\n");
            return 2;
        }
    }
    return kiv::soak::run(seconds, seed);
}
