#include "vortilcore/core/EarlyStopActor.hpp"

namespace vortil {

void EarlyStopActor::set(bool value, const platform::Uuid& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    shouldStop_[id] = value;
}

bool EarlyStopActor::setIfPresent(bool value, const platform::Uuid& id) {
    std::lock_guard lock(mutex_);
    const auto it = shouldStop_.find(id);
    if (it == shouldStop_.end()) return false;
    it->second = value;
    return true;
}

bool EarlyStopActor::get(const platform::Uuid& id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = shouldStop_.find(id);
    return it != shouldStop_.end() && it->second;
}

std::optional<bool> EarlyStopActor::remove(const platform::Uuid& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = shouldStop_.find(id);
    if (it == shouldStop_.end()) return std::nullopt;
    bool flag = it->second;
    shouldStop_.erase(it);
    return flag;
}

std::size_t EarlyStopActor::count() const {
    std::lock_guard lock(mutex_);
    return shouldStop_.size();
}

}  // namespace vortil
