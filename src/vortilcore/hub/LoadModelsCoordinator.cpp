#include "vortilcore/hub/LoadModelsCoordinator.hpp"

#include <exception>

namespace vortil {

void LoadModelsCoordinator::run(const std::function<void()>& operation) {
    std::promise<void> outcome;
    std::shared_future<void> inflight;
    bool joining = false;
    {
        std::lock_guard guard(lock_);
        if (inflightLoad_) {
            inflight = *inflightLoad_;
            joining = true;
        } else {
            inflightLoad_ = outcome.get_future().share();
        }
    }
    if (joining) {
        inflight.get();  // rethrows the shared failure
        return;
    }

    std::exception_ptr error;
    try {
        operation();
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard guard(lock_);
        inflightLoad_.reset();
    }
    // Waiters are released only after the slot is cleared, so one that then
    // calls again starts afresh instead of joining a finished load.
    if (error) {
        outcome.set_exception(error);
        std::rethrow_exception(error);
    }
    outcome.set_value();
}

}  // namespace vortil
