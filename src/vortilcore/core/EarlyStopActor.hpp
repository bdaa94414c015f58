#pragma once
// The stop flags of running decodes, keyed by the identifier of one run. The
// decoder sets a run's flag to false when it starts, reads it in its token
// loop, and removes it when the run ends; anyone may set it to true to ask the
// run to stop. Operations run one at a time; each read sees the last completed set.

#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/system/Uuid.hpp"

namespace vortil {

class EarlyStopActor final {
  public:
    EarlyStopActor() = default;
    EarlyStopActor(const EarlyStopActor&) = delete;
    EarlyStopActor& operator=(const EarlyStopActor&) = delete;

    // Inserts or replaces the flag for the run.
    void set(bool value, const platform::Uuid& id);
    // Replaces the flag only while the run has an entry, so that a stop asked
    // after the run ended leaves nothing behind; true when it was replaced.
    bool setIfPresent(bool value, const platform::Uuid& id);
    // The run's flag, false when the run has no entry.
    bool get(const platform::Uuid& id) const;
    // Removes the run's entry and returns the flag it held, nothing when absent.
    std::optional<bool> remove(const platform::Uuid& id);
    // How many runs hold a flag.
    std::size_t count() const;

  private:
    mutable std::mutex mutex_;
    std::unordered_map<platform::Uuid, bool> shouldStop_;
};

}  // namespace vortil
