#include "verbolin/settings/MemoryDefaults.hpp"

#include <nlohmann/json.hpp>

namespace verbolin {

MemoryDefaults::MemoryDefaults(nlohmann::json initial) {
    if (initial.is_object()) values_ = std::move(initial);
}

std::optional<nlohmann::json> MemoryDefaults::value(std::string_view key) const {
    std::lock_guard lock(m_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void MemoryDefaults::setValue(std::string_view key, nlohmann::json value) {
    {
        std::lock_guard lock(m_);
        values_[std::string(key)] = std::move(value);
    }
    changed(key);
}

void MemoryDefaults::remove(std::string_view key) {
    {
        std::lock_guard lock(m_);
        if (values_.erase(std::string(key)) == 0) return;
    }
    changed(key);
}

}  // namespace verbolin
