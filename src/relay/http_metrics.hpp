// The metrics page over HTTP/1.1, served from the relay's one thread: a non-blocking
// listening socket and a fixed set of connections whose descriptors join the loop's wait.
// Every step is one non-blocking call on one connection, so a slow or silent scraper costs
// the datagrams waiting behind it at most one short write; every connection ends after its
// answer or after METRICS_CONNECTION_MS, whichever comes first, and one whose request has not
// arrived within METRICS_REQUEST_MS sooner; metrics_admission.hpp shares them among addresses.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "relay/http_request.hpp"
#include "relay/metrics.hpp"
#include "relay/metrics_admission.hpp"

namespace kiv {

inline constexpr int METRICS_CONNECTIONS = 8;
inline constexpr uint32_t METRICS_CONNECTION_MS = 2000;
// The listener and every connection.
inline constexpr int METRICS_POLL_FDS = 1 + METRICS_CONNECTIONS;

// Renders the page into the buffer given; returns its length (0: nothing to serve).
struct PageSource {
    size_t (*render)(void* context, char* buffer, size_t size);
    void* context;
};

class MetricsServer {
  public:
    // Opens the listening socket on `address`; on failure writes why into `reason`.
    bool open(const Peer& address, char* reason, size_t reason_size);
    uint16_t port() const { return port_; }

    // Writes the descriptors to wait on into `fds` (at least METRICS_POLL_FDS of them) and
    // returns how many.
    int poll_fds(pollfd* fds) const;
    // How long the loop may wait before a connection is due to be closed, at most `limit_ms`.
    int wait_limit_ms(uint32_t now_ms, int limit_ms) const;
    // Does what the wait reported for the descriptors poll_fds gave, and closes connections
    // that are over their time.
    void serve(const pollfd* fds, int count, uint32_t now_ms, PageSource page);

  private:
    struct Connection {
        int fd = -1;
        uint32_t opened_ms = 0;
        uint64_t source = 0;
        size_t request_length = 0;
        size_t answer_length = 0;  // 0 until the request is answered
        size_t answer_sent = 0;
        std::array<char, METRICS_REQUEST_BYTES> request;
        std::array<char, 256 + METRICS_PAGE_BYTES> answer;
    };

    void accept_new(uint32_t now_ms);
    void read_request(Connection& connection, PageSource page);
    void write_answer(Connection& connection);
    void close_connection(Connection& connection);

    int listener_ = -1;
    uint16_t port_ = 0;
    std::array<Connection, METRICS_CONNECTIONS> connections_;
    std::array<char, METRICS_PAGE_BYTES> page_;
};

}  // namespace kiv
