// Asking the relay's metrics port over HTTP, as a scraper does, for the metrics tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>

#include "ipv4.hpp"
#include "relay_process.hpp"

namespace kiv::test {

// From `from`, a loopback address in host byte order.
inline int connect_to(uint16_t port, uint32_t from = INADDR_LOOPBACK) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source = loopback(0, from);
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
        ADD_FAILURE() << "cannot bind a scraper to a loopback address";
    }
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ADD_FAILURE() << "cannot connect to the metrics port " << port;
    }
    return fd;
}

// Everything the server sends until it closes the connection, within `limit`.
inline std::string read_to_end(int fd, std::chrono::milliseconds limit = WAIT) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, int(left.count())) <= 0) {
            ADD_FAILURE() << "the connection was not closed in time";
            return got;
        }
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return got;
        got.append(buffer, size_t(n));
    }
}

inline std::string ask(uint16_t port, const std::string& request) {
    int fd = connect_to(port);
    EXPECT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
    std::string answer = read_to_end(fd);
    close(fd);
    return answer;
}

using Samples = std::map<std::string, uint64_t>;

inline std::string page_of(uint16_t port) {
    std::string answer = ask(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The page's samples by name and labels.
inline Samples scrape(uint16_t port) {
    Samples samples;
    std::istringstream lines(page_of(port));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t blank = line.rfind(' ');
        samples[line.substr(0, blank)] = std::stoull(line.substr(blank + 1));
    }
    return samples;
}

}  // namespace kiv::test
