#pragma once
// The hub client's record of the network path, written by the network
// monitor and read by the offline decision. Every field is read and written
// under its lock.

#include <mutex>

#include "platform/system/NetworkPathMonitor.hpp"

namespace vortil {

class NetworkStateActor {
  public:
    void update(const platform::NetworkPath& path);

    // Online when "CI_DISABLE_NETWORK_MONITOR" is exactly "1" (read afresh on
    // every call); otherwise offline exactly when the path is not connected.
    bool shouldUseOfflineMode() const;

    bool isConnected() const;
    bool isExpensive() const;
    bool isConstrained() const;

  private:
    mutable std::mutex mutex_;
    bool isConnected_ = true;
    bool isExpensive_ = false;
    bool isConstrained_ = false;
};

}  // namespace vortil
