#pragma once
// Settings kept in memory only: for tests, and for a process that must not
// touch the user's settings file.

#include <mutex>
#include <nlohmann/json.hpp>

#include "verbolin/settings/Defaults.hpp"

namespace verbolin {

class MemoryDefaults final : public Defaults {
  public:
    MemoryDefaults() = default;
    explicit MemoryDefaults(nlohmann::json initial);

    std::optional<nlohmann::json> value(std::string_view key) const override;
    void setValue(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;

  private:
    mutable std::mutex m_;
    nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace verbolin
