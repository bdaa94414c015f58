#pragma once
// A plain, non-recursive mutual-exclusion lock, shared by reference
// (std::shared_ptr) between the wrappers and objects that use it.
//
// Critical sections are meant to be a copy or a replacement of one value.
// Taking the same lock again from inside withLock deadlocks.

#include <mutex>
#include <type_traits>
#include <utility>

namespace vortil {

class UnfairLock final {
  public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs body with the lock held and returns its result. If body throws, the
    // lock is released before the exception leaves, unchanged.
    template <class Body>
    std::invoke_result_t<Body&&> withLock(Body&& body) {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::forward<Body>(body)();
    }

  private:
    std::mutex mutex_;
};

}  // namespace vortil
