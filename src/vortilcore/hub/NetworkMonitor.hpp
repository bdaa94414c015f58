#pragma once
// A subscriber to the process's network path that keeps the latest path in
// its state. Every hub client owns one; the offline decision reads the
// process-wide shared() one. Starting again only replaces the subscription
// (one watcher thread serves them all), so building many clients is cheap.

#include <memory>

#include "platform/system/NetworkPathMonitor.hpp"
#include "vortilcore/hub/NetworkStateActor.hpp"

namespace vortil {

class NetworkMonitor : public std::enable_shared_from_this<NetworkMonitor> {
  public:
    // Built and started.
    static std::shared_ptr<NetworkMonitor> create();
    static const std::shared_ptr<NetworkMonitor>& shared();

    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;
    // Cancels the subscription; an update already running finishes first.
    ~NetworkMonitor();

    // Installs the path handler (holding this monitor weakly) and starts
    // watching. Safe to call again on a running monitor.
    void startMonitoring();

    NetworkStateActor& state() { return state_; }
    const NetworkStateActor& state() const { return state_; }

  private:
    struct Token {};

  public:
    explicit NetworkMonitor(Token);

  private:
    platform::NetworkPathMonitor::Key key_;
    NetworkStateActor state_;
};

}  // namespace vortil
