// Test support for end-to-end tests: starts the real kiv-relay binary, reads its log, and
// talks UDP to it over 127.0.0.1. Every wait is bounded, so a broken relay fails a test
// instead of hanging it.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "datagram.hpp"

namespace kiv::test {

using namespace std::chrono_literals;

// Generous, because the suite must hold on a busy two-core machine.
inline constexpr std::chrono::milliseconds WAIT = 5s;

struct ExitResult {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to completion (bounded by `limit`) and collects both output streams.
ExitResult run_to_exit(const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds limit = WAIT,
                       const std::vector<std::string>& extra_env = {});

class RelayProcess {
  public:
    // Starts the relay with `args` (port "0" when empty) and waits for its banner.
    explicit RelayProcess(std::vector<std::string> args = {},
                          std::vector<std::string> extra_env = {});
    // Starts the relay with no argument at all, so it takes its default port.
    struct NoArguments {};
    explicit RelayProcess(NoArguments, std::vector<std::string> extra_env = {});
    // Descriptors passed as a service manager passes them: at 3 on, with LISTEN_FDS,
    // LISTEN_FDNAMES (the names joined by ':') and LISTEN_PID the relay's own pid.
    struct Passed {
        std::vector<int> fds;
        std::string names;
    };
    RelayProcess(std::vector<std::string> args, std::vector<std::string> extra_env,
                 const Passed& passed);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& banner() const { return banner_; }

    // The next log line (time stamp included), or nothing if none came within `limit`.
    std::optional<std::string> next_line(std::chrono::milliseconds limit = WAIT);
    // The next line with its "YYYY-MM-DD HH:MM:SS " stamp removed; fails the test if the
    // stamp is malformed.
    std::optional<std::string> next_message(std::chrono::milliseconds limit = WAIT);
    // True if no line arrives within `limit`.
    bool quiet_for(std::chrono::milliseconds limit);
    // The exit status (128 + signal when killed) once it has exited, or nothing if it is
    // still running after `limit`.
    std::optional<int> wait_exit(std::chrono::milliseconds limit);

  private:
    void start(std::vector<std::string> args, const std::vector<std::string>& extra_env,
               const Passed& passed = {});

    pid_t pid_ = -1;
    int out_fd_ = -1;
    uint16_t port_ = 0;
    std::string banner_;
    std::string pending_;
};

// Any program run with pipes on all three standard streams, for commands driven line by line.
// The process is killed on destruction if it has not exited.
class CommandProcess {
  public:
    CommandProcess(const std::string& program, const std::vector<std::string>& args);
    ~CommandProcess();
    CommandProcess(const CommandProcess&) = delete;
    CommandProcess& operator=(const CommandProcess&) = delete;

    void write_line(const std::string& line);
    void close_input();
    void interrupt();  // SIGINT, as Ctrl-C sends
    void terminate();  // SIGTERM, as service managers send
    // The next line of standard output or error, or nothing within `limit`.
    std::optional<std::string> next_out_line(std::chrono::milliseconds limit = WAIT) {
        return next_line(out_, limit);
    }
    std::optional<std::string> next_err_line(std::chrono::milliseconds limit = WAIT) {
        return next_line(err_, limit);
    }
    // The exit status (128 + signal when killed), or nothing if it is still running.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = WAIT);

  private:
    struct Stream {
        int fd = -1;
        std::string pending;
    };
    std::optional<std::string> next_line(Stream& stream, std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int in_fd_ = -1;
    Stream out_;
    Stream err_;
};

// One UDP peer on a loopback address (127.0.0.1 unless given, in host byte order) with a port
// of its own. The relay limits what one address may do, so tests that need many rooms or many
// lookups spread their peers over 127.0.0.0/8.
class Peer {
  public:
    explicit Peer(uint32_t address = INADDR_LOOPBACK);
    // An IPv6 peer on `ipv6_address` ("::1"), which sends to the relay on ::1. With
    // `free_bind` the address need not be the machine's yet (IPV6_FREEBIND).
    explicit Peer(const std::string& ipv6_address, bool free_bind = false);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    uint16_t port() const { return port_; }
    uint32_t address() const { return address_; }  // host byte order, for an IPv4 peer
    // The IPv6 address as inet_ntop writes it; empty for an IPv4 peer.
    const std::string& ipv6_address() const { return ipv6_address_; }
    void send_to(uint16_t relay_port, const Bytes& datagram) const;
    // The next datagram, or nothing within `limit`; `from_port`, if given, gets its source
    // port.
    std::optional<Bytes> receive(std::chrono::milliseconds limit = WAIT,
                                 uint16_t* from_port = nullptr) const;

  private:
    int fd_ = -1;
    uint32_t address_ = 0;
    std::string ipv6_address_;
    uint16_t port_ = 0;
};

// A log line taken apart at its "YYYY-MM-DD HH:MM:SS " stamp, the stamp read as UTC: only
// differences between stamps mean anything.
struct StampedLine {
    int64_t seconds;
    std::string message;
};
// Nothing if the line does not start with a well-formed stamp.
std::optional<StampedLine> split_stamp(const std::string& line);

Bytes hex(const std::string& text);  // "4B 49 56 52 ..." to bytes

}  // namespace kiv::test
