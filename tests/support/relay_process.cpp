#include "relay_process.hpp"
#include "ipv4.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <stdexcept>
#include <utility>

#ifndef KIV_RELAY_PATH
#error "KIV_RELAY_PATH must name the relay binary"
#endif

extern char** environ;

namespace kiv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string variable_name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// The inherited environment with `extra` added; an extra NAME=value replaces an inherited
// NAME, since getenv would otherwise find whichever comes first.
std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string name = variable_name(*entry);
        bool replaced = false;
        for (const std::string& added : extra)
            replaced |= variable_name(added) == name;
        if (!replaced) env.emplace_back(*entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

pid_t spawn(const std::string& program, std::vector<std::string> argv,
            const std::vector<std::string>& extra_env, int out_fd, int err_fd, int in_fd = -1,
            const std::vector<int>& passed_fds = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    for (size_t i = 0; i < passed_fds.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, passed_fds[i], 3 + int(i));
    std::vector<std::string> env = environment_with(extra_env);
    argv.insert(argv.begin(), program);
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, c_strings(argv).data(),
                            c_strings(env).data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + program + ": " + strerror(error));
    return pid;
}

// Appends what `fd` has to `into`, waiting at most until `deadline`; false on end of file
// or time-out.
bool read_some(int fd, std::string& into, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, int(left.count())) <= 0) return false;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    into.append(chunk, size_t(n));
    return true;
}

}  // namespace

ExitResult run_to_exit(const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds limit, const std::vector<std::string>& extra_env) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = spawn(program, args, extra_env, out_pipe[1], err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    ExitResult result{-1, "", ""};
    auto deadline = Clock::now() + limit;
    bool out_open = true, err_open = true;
    while ((out_open || err_open) && Clock::now() < deadline) {
        pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                         {err_open ? err_pipe[0] : -1, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(fds, 2, int(std::max<int64_t>(left.count(), 0))) <= 0) break;
        char chunk[4096];
        if (fds[0].revents) {
            ssize_t n = read(out_pipe[0], chunk, sizeof chunk);
            if (n <= 0)
                out_open = false;
            else
                result.out.append(chunk, size_t(n));
        }
        if (fds[1].revents) {
            ssize_t n = read(err_pipe[0], chunk, sizeof chunk);
            if (n <= 0)
                err_open = false;
            else
                result.err.append(chunk, size_t(n));
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    if (out_open || err_open) kill(pid, SIGKILL);  // it overran its limit
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RelayProcess::RelayProcess(std::vector<std::string> args, std::vector<std::string> extra_env) {
    if (args.empty()) args.push_back("0");
    start(std::move(args), extra_env);
}

RelayProcess::RelayProcess(NoArguments, std::vector<std::string> extra_env) {
    start({}, extra_env);
}

RelayProcess::RelayProcess(std::vector<std::string> args, std::vector<std::string> extra_env,
                           const Passed& passed) {
    start(std::move(args), extra_env, passed);
}

void RelayProcess::start(std::vector<std::string> args, const std::vector<std::string>& extra_env,
                         const Passed& passed) {
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::string program = KIV_RELAY_PATH;
    std::vector<std::string> env = extra_env;
    if (!passed.fds.empty()) {
        // LISTEN_PID is the pid of the process that execs the relay, which only a shell
        // between fork and exec can name.
        args.insert(args.begin(), {"-c", "export LISTEN_PID=$$; exec \"$0\" \"$@\"", program});
        program = "/bin/sh";
        env.push_back("LISTEN_FDS=" + std::to_string(passed.fds.size()));
        env.push_back("LISTEN_FDNAMES=" + passed.names);
    }
    pid_ = spawn(program, args, env, out_pipe[1], 2, -1, passed.fds);
    close(out_pipe[1]);
    out_fd_ = out_pipe[0];
    std::optional<std::string> first = next_line();
    if (!first) throw std::runtime_error("relay printed no banner");
    banner_ = *first;
    static const std::regex listening(R"(listening on UDP (\d+) )");
    std::smatch match;
    if (!std::regex_search(banner_, match, listening)) {
        throw std::runtime_error("unexpected banner: " + banner_);
    }
    port_ = uint16_t(std::stoi(match[1]));
}

RelayProcess::~RelayProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
}

std::optional<std::string> RelayProcess::next_line(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (!read_some(out_fd_, pending_, deadline)) return std::nullopt;
    }
}

std::optional<std::string> RelayProcess::next_message(std::chrono::milliseconds limit) {
    std::optional<std::string> line = next_line(limit);
    if (!line) return std::nullopt;
    std::optional<StampedLine> stamped = split_stamp(*line);
    if (!stamped) throw std::runtime_error("log line without a time stamp: " + *line);
    return stamped->message;
}

std::optional<int> RelayProcess::wait_exit(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) return std::nullopt;
        usleep(5000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool RelayProcess::quiet_for(std::chrono::milliseconds limit) {
    if (pending_.find('\n') != std::string::npos) return false;
    auto deadline = Clock::now() + limit;
    while (read_some(out_fd_, pending_, deadline)) {
        if (pending_.find('\n') != std::string::npos) return false;
    }
    return true;
}

CommandProcess::CommandProcess(const std::string& program, const std::vector<std::string>& args) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = spawn(program, args, {}, out_pipe[1], err_pipe[1], in_pipe[0]);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    in_fd_ = in_pipe[1];
    out_.fd = out_pipe[0];
    err_.fd = err_pipe[0];
}

CommandProcess::~CommandProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_input();
    close(out_.fd);
    close(err_.fd);
}

void CommandProcess::write_line(const std::string& line) {
    std::string text = line + "\n";
    if (write(in_fd_, text.data(), text.size()) != ssize_t(text.size())) {
        throw std::runtime_error("cannot write to the command's input");
    }
}

void CommandProcess::close_input() {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
}

void CommandProcess::interrupt() {
    kill(pid_, SIGINT);
}

void CommandProcess::terminate() {
    kill(pid_, SIGTERM);
}

std::optional<std::string> CommandProcess::next_line(Stream& stream,
                                                     std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        size_t end = stream.pending.find('\n');
        if (end != std::string::npos) {
            std::string line = stream.pending.substr(0, end);
            stream.pending.erase(0, end + 1);
            return line;
        }
        if (!read_some(stream.fd, stream.pending, deadline)) return std::nullopt;
    }
}

std::optional<int> CommandProcess::wait_exit(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) return std::nullopt;
        // Polling the exit with short pauses keeps this free of SIGCHLD handling.
        poll(nullptr, 0, 10);
    }
}

Peer::Peer(uint32_t address) : address_(address) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr = loopback(0, address);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("bind failed");
    }
    socklen_t length = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
}

Peer::Peer(const std::string& ipv6_address, bool free_bind) {
    fd_ = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    int on = 1;
    if (free_bind) (void)setsockopt(fd_, IPPROTO_IPV6, IPV6_FREEBIND, &on, sizeof on);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, ipv6_address.c_str(), &addr.sin6_addr) != 1) {
        throw std::runtime_error("not an IPv6 address: " + ipv6_address);
    }
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("bind failed: " + std::string(strerror(errno)));
    }
    socklen_t length = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin6_port);
    char text[INET6_ADDRSTRLEN];
    ipv6_address_ = inet_ntop(AF_INET6, &addr.sin6_addr, text, sizeof text);
}

Peer::~Peer() {
    close(fd_);
}

void Peer::send_to(uint16_t relay_port, const Bytes& datagram) const {
    sockaddr_storage to{};
    socklen_t to_length = 0;
    if (ipv6_address_.empty()) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(to);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = htons(relay_port);
        to_length = sizeof v4;
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(to);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(relay_port);
        to_length = sizeof v6;
    }
    if (sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               to_length) != ssize_t(datagram.size())) {
        throw std::runtime_error(std::string("sendto failed: ") + strerror(errno));
    }
}

std::optional<Bytes> Peer::receive(std::chrono::milliseconds limit, uint16_t* from_port) const {
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, int(limit.count())) <= 0) return std::nullopt;
    Bytes datagram(65536);
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    ssize_t n = recvfrom(fd_, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) return std::nullopt;
    // The port lies at the same place in both families' addresses.
    if (from_port != nullptr) *from_port = ntohs(reinterpret_cast<sockaddr_in&>(from).sin_port);
    datagram.resize(size_t(n));
    return datagram;
}

std::optional<StampedLine> split_stamp(const std::string& line) {
    static const std::regex stamped(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) (.*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, stamped)) return std::nullopt;
    std::tm stamp{};
    stamp.tm_year = std::stoi(match[1]) - 1900;
    stamp.tm_mon = std::stoi(match[2]) - 1;
    stamp.tm_mday = std::stoi(match[3]);
    stamp.tm_hour = std::stoi(match[4]);
    stamp.tm_min = std::stoi(match[5]);
    stamp.tm_sec = std::stoi(match[6]);
    return StampedLine{int64_t(timegm(&stamp)), match[7].str()};
}

Bytes hex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

}  // namespace kiv::test
