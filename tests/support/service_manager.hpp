// A stand-in for a service manager's descriptor store, for tests and benchmarks of the
// relay's hand-over on machines without one: a notify socket the relay is told of
// (NOTIFY_SOCKET), the descriptors it stores there by name (FDSTORE=1, FDNAME=, and
// FDSTOREREMOVE=1), barriers answered, and the next relay started with what was stored,
// as the manager starts it (RelayProcess::Passed).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay_process.hpp"

namespace kiv::test {

class ServiceManager {
  public:
    ServiceManager();
    ~ServiceManager();
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    // NOTIFY_SOCKET=..., for the relay's environment.
    std::string notify_variable() const;
    // Starts a relay with `args`, the notify socket and what the store holds.
    std::unique_ptr<RelayProcess> start(const std::vector<std::string>& args);
    // SIGTERM to `relay`, then what it stores until it has exited; its exit status, or
    // nothing if it did not exit within WAIT.
    std::optional<int> stop(RelayProcess& relay);
    // Handles the messages that came, until none comes within `quiet`.
    void receive(std::chrono::milliseconds quiet);

    // What the store holds: name and descriptor, in the order stored.
    const std::vector<std::pair<std::string, int>>& stored() const { return stored_; }
    // Replaces the descriptor stored under `name` (which the store then owns).
    void replace(const std::string& name, int fd);

  private:
    void handle_message();

    int fd_ = -1;
    std::string address_;
    std::vector<std::pair<std::string, int>> stored_;
};

}  // namespace kiv::test
