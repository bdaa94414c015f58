#pragma once
// Lets concurrent requests to load a set of models share one piece of work:
// the first caller runs its operation, and everyone who arrives while it runs
// waits for it and gets its outcome (the same error, when it fails) instead
// of running their own. A caller arriving after it ended starts a new one.

#include <functional>
#include <future>
#include <mutex>
#include <optional>

namespace vortil {

class LoadModelsCoordinator {
  public:
    // Runs `operation` on the calling thread, or joins the one in flight.
    void run(const std::function<void()>& operation);

  private:
    std::mutex lock_;
    std::optional<std::shared_future<void>> inflightLoad_;
};

}  // namespace vortil
