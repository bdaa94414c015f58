#include "vortilcore/hub/NetworkStateActor.hpp"

#include <cstdlib>
#include <cstring>

namespace vortil {

void NetworkStateActor::update(const platform::NetworkPath& path) {
    std::lock_guard lock(mutex_);
    isConnected_ = path.status == platform::NetworkPath::Status::satisfied;
    isExpensive_ = path.isExpensive;
    isConstrained_ = path.isConstrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
    const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
    if (disabled && std::strcmp(disabled, "1") == 0) return false;
    std::lock_guard lock(mutex_);
    return !isConnected_;
}

bool NetworkStateActor::isConnected() const {
    std::lock_guard lock(mutex_);
    return isConnected_;
}

bool NetworkStateActor::isExpensive() const {
    std::lock_guard lock(mutex_);
    return isExpensive_;
}

bool NetworkStateActor::isConstrained() const {
    std::lock_guard lock(mutex_);
    return isConstrained_;
}

}  // namespace vortil
