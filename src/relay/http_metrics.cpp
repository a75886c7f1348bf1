#include "relay/http_metrics.hpp"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstring>

#include "wire/addr_text.hpp"
#include "wire/peer.hpp"

namespace kiv {
namespace {

// Connections accepted per pass: enough to turn away a burst beyond the limit without
// letting a flood of connection attempts hold the loop.
constexpr int ACCEPTS_PER_PASS = 2 * METRICS_CONNECTIONS;

}  // namespace

bool MetricsServer::open(const Peer& address, char* reason, size_t reason_size) {
    listener_ = socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        snprintf(reason, reason_size, "socket: %s", strerror(errno));
        return false;
    }
    // A restarted relay may take its port back while old connections linger in TIME_WAIT.
    int on = 1;
    (void)setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener_, address.name(), address.name_length()) < 0) {
        snprintf(reason, reason_size, "bind %s: %s", addr_str(address), strerror(errno));
        return false;
    }
    if (listen(listener_, METRICS_CONNECTIONS) < 0) {
        snprintf(reason, reason_size, "listen: %s", strerror(errno));
        return false;
    }
    Peer bound;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    getsockname(listener_, bound.receive_name(), &length);
    port_ = bound.is_set() ? bound.port() : address.port();
    return true;
}

int MetricsServer::poll_fds(pollfd* fds) const {
    int count = 0;
    fds[count++] = {listener_, POLLIN, 0};
    for (const Connection& connection : connections_) {
        if (connection.fd < 0) continue;
        short events = connection.answer_length == 0 ? POLLIN : POLLOUT;
        fds[count++] = {connection.fd, events, 0};
    }
    return count;
}

int MetricsServer::wait_limit_ms(uint32_t now_ms, int limit_ms) const {
    for (const Connection& connection : connections_) {
        if (connection.fd < 0) continue;
        uint32_t open_ms = now_ms - connection.opened_ms;
        uint32_t allowed_ms =
            connection.answer_length == 0 ? METRICS_REQUEST_MS : METRICS_CONNECTION_MS;
        int left_ms = open_ms >= allowed_ms ? 0 : int(allowed_ms - open_ms);
        if (left_ms < limit_ms) limit_ms = left_ms;
    }
    return limit_ms;
}

void MetricsServer::serve(const pollfd* fds, int count, uint32_t now_ms, PageSource page) {
    bool listener_ready = false;
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == listener_) {
            listener_ready = true;
            continue;
        }
        for (Connection& connection : connections_) {
            if (connection.fd != fds[i].fd) continue;
            if (connection.answer_length == 0) {
                read_request(connection, page);
            } else {
                write_answer(connection);
            }
        }
    }
    for (Connection& connection : connections_) {
        if (connection.fd < 0) continue;
        uint32_t open_ms = now_ms - connection.opened_ms;
        if (open_ms >= METRICS_CONNECTION_MS ||
            (connection.answer_length == 0 && open_ms >= METRICS_REQUEST_MS)) {
            close_connection(connection);
        }
    }
    if (listener_ready) accept_new(now_ms);
}

void MetricsServer::accept_new(uint32_t now_ms) {
    for (int i = 0; i < ACCEPTS_PER_PASS; ++i) {
        Peer peer;
        socklen_t peer_length = Peer::RECEIVE_CAPACITY;
        int fd =
            accept4(listener_, peer.receive_name(), &peer_length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        uint64_t source = peer.network_key(IPV6_LIMIT_PREFIX);
        std::array<MetricsSlot, METRICS_CONNECTIONS> slots;
        for (size_t c = 0; c < connections_.size(); ++c) {
            const Connection& connection = connections_[c];
            slots[c] = {connection.fd >= 0, connection.fd >= 0 && connection.answer_length == 0,
                        connection.source, connection.opened_ms};
        }
        MetricsAdmission admission = metrics_admit(slots.data(), int(slots.size()), source, now_ms);
        if (admission.kind == MetricsAdmission::Kind::refuse) {
            close(fd);  // over the limit: turned away at once
            continue;
        }
        Connection* free_connection = &connections_[size_t(admission.slot)];
        if (admission.kind == MetricsAdmission::Kind::replace) close_connection(*free_connection);
        free_connection->source = source;
        free_connection->fd = fd;
        free_connection->opened_ms = now_ms;
        free_connection->request_length = 0;
        free_connection->answer_length = 0;
        free_connection->answer_sent = 0;
    }
}

void MetricsServer::read_request(Connection& connection, PageSource page) {
    size_t room = connection.request.size() - connection.request_length;
    ssize_t got = recv(connection.fd, connection.request.data() + connection.request_length, room,
                       MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        close_connection(connection);  // the scraper went away before asking
        return;
    }
    if (got < 0) return;
    connection.request_length += size_t(got);
    size_t end = request_end(connection.request.data(), connection.request_length);
    assert(end <= connection.request_length);
    if (end == 0 && connection.request_length < connection.request.size()) return;
    int status = end == 0 ? 431 : metrics_request_status(connection.request.data(), end);
    size_t body_length = 0;
    const char* body = nullptr;
    if (status == 200) {
        body_length = page.render(page.context, page_.data(), page_.size());
        body = page_.data();
        if (body_length == 0) status = 500;
    }
    if (status != 200) {
        body = status_text(status);
        body_length = strlen(body);
    }
    const char* type = status == 200 ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain";
    int head = snprintf(connection.answer.data(), connection.answer.size(),
                        "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%s"
                        "Connection: close\r\n\r\n",
                        status, status_text(status), type, body_length + (status == 200 ? 0 : 1),
                        status == 405 ? "Allow: GET\r\n" : "");
    size_t length = size_t(head);
    memcpy(connection.answer.data() + length, body, body_length);
    length += body_length;
    if (status != 200) connection.answer[length++] = '\n';
    connection.answer_length = length;
    connection.answer_sent = 0;
    write_answer(connection);
}

void MetricsServer::write_answer(Connection& connection) {
    ssize_t sent =
        send(connection.fd, connection.answer.data() + connection.answer_sent,
             connection.answer_length - connection.answer_sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EINTR) close_connection(connection);
        return;
    }
    connection.answer_sent += size_t(sent);
    if (connection.answer_sent < connection.answer_length) return;
    // Whatever the scraper sent beyond its request is read and dropped before closing:
    // closing on unread data would reset the connection and could cost it the answer.
    shutdown(connection.fd, SHUT_WR);
    for (int i = 0; i < 4; ++i) {
        if (recv(connection.fd, connection.request.data(), connection.request.size(),
                 MSG_DONTWAIT) <= 0)
            break;
    }
    close_connection(connection);
}

void MetricsServer::close_connection(Connection& connection) {
    close(connection.fd);
    connection.fd = -1;
}

}  // namespace kiv
