#include "service_manager.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace kiv::test {
namespace {

// The value of `key` ("FDNAME=") in a notify message, or "".
std::string field(const std::string& message, const std::string& key) {
    size_t at = message.find(key);
    if (at == std::string::npos || (at != 0 && message[at - 1] != '\n')) return "";
    size_t end = message.find('\n', at);
    return message.substr(at + key.size(), end == std::string::npos ? end : end - at - key.size());
}

}  // namespace

ServiceManager::ServiceManager() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    // An abstract name: nothing left in the file system, and unique per process and manager.
    static int made = 0;
    address_ = "kiv-test-notify-" + std::to_string(getpid()) + "-" + std::to_string(made++);
    memcpy(name.sun_path + 1, address_.data(), address_.size());
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + address_.size());
    int on = 1;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&name), length) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        throw std::runtime_error("cannot make the notify socket");
}

ServiceManager::~ServiceManager() {
    for (auto& entry : stored_)
        close(entry.second);
    if (fd_ >= 0) close(fd_);
}

std::string ServiceManager::notify_variable() const {
    return "NOTIFY_SOCKET=@" + address_;
}

std::unique_ptr<RelayProcess> ServiceManager::start(const std::vector<std::string>& args) {
    RelayProcess::Passed passed;
    for (auto& [name, fd] : stored_) {
        // Above any number the child's dup2 to 3, 4... could overwrite before it is read.
        passed.fds.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 100));
        passed.names += (passed.names.empty() ? "" : ":") + name;
    }
    auto relay =
        std::make_unique<RelayProcess>(args, std::vector<std::string>{notify_variable()}, passed);
    for (int fd : passed.fds)
        close(fd);
    return relay;
}

std::optional<int> ServiceManager::stop(RelayProcess& relay) {
    kill(relay.pid(), SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + WAIT;
    while (std::chrono::steady_clock::now() < deadline) {
        receive(std::chrono::milliseconds(10));
        if (std::optional<int> status = relay.wait_exit(std::chrono::milliseconds(0))) {
            receive(std::chrono::milliseconds(0));
            return status;
        }
    }
    return std::nullopt;
}

void ServiceManager::receive(std::chrono::milliseconds quiet) {
    pollfd waiting{fd_, POLLIN, 0};
    while (poll(&waiting, 1, int(quiet.count())) > 0)
        handle_message();
}

void ServiceManager::replace(const std::string& name, int fd) {
    for (auto& entry : stored_) {
        if (entry.first != name) continue;
        close(entry.second);
        entry.second = fd;
    }
}

void ServiceManager::handle_message() {
    char text[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16) + CMSG_SPACE(sizeof(ucred))];
    iovec part{text, sizeof text - 1};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
    if (length < 0) return;
    std::string said(text, size_t(length));
    std::vector<int> fds;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    std::string name = field(said, "FDNAME=");
    if (field(said, "FDSTOREREMOVE=") == "1") {
        for (auto entry = stored_.begin(); entry != stored_.end();) {
            if (entry->first != name) {
                ++entry;
                continue;
            }
            close(entry->second);
            entry = stored_.erase(entry);
        }
    }
    bool store = field(said, "FDSTORE=") == "1";
    for (int fd : fds) {
        // A barrier's descriptor is answered by closing it; the store keeps the rest.
        if (store)
            stored_.emplace_back(name.empty() ? "stored" : name, fd);
        else
            close(fd);
    }
}

}  // namespace kiv::test
