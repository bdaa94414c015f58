#include "platform/ml/MLState.hpp"

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

MLState::MLState(Arrays arrays) : arrays_(std::move(arrays)) {
    for (const auto& [name, array] : arrays_)
        if (!array)
            throw MLModelError(MLModelError::Code::generic, "State \"" + name + "\" has no array");
}

std::vector<std::string> MLState::names() const {
    std::vector<std::string> out;
    out.reserve(arrays_.size());
    for (const auto& entry : arrays_) out.push_back(entry.first);
    return out;
}

void MLState::withMultiArray(const std::string& name,
                             const std::function<void(MLMultiArray&)>& body) {
    const auto it = arrays_.find(name);
    if (it == arrays_.end())
        throw MLModelError(MLModelError::Code::generic, "The state keeps no \"" + name + "\"");
    std::lock_guard lock(mutex_);
    body(*it->second);
}

}  // namespace platform::ml
