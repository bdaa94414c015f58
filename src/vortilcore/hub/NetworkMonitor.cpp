#include "vortilcore/hub/NetworkMonitor.hpp"

namespace vortil {

NetworkMonitor::NetworkMonitor(Token) : key_(platform::NetworkPathMonitor::newKey()) {}

std::shared_ptr<NetworkMonitor> NetworkMonitor::create() {
    auto monitor = std::make_shared<NetworkMonitor>(Token{});
    monitor->startMonitoring();
    return monitor;
}

const std::shared_ptr<NetworkMonitor>& NetworkMonitor::shared() {
    static const std::shared_ptr<NetworkMonitor> monitor = create();
    return monitor;
}

NetworkMonitor::~NetworkMonitor() { platform::NetworkPathMonitor::shared().cancel(key_); }

void NetworkMonitor::startMonitoring() {
    std::weak_ptr<NetworkMonitor> weak = weak_from_this();
    platform::NetworkPathMonitor::shared().start(key_, [weak](const platform::NetworkPath& path) {
        if (auto self = weak.lock()) self->state_.update(path);
    });
}

}  // namespace vortil
