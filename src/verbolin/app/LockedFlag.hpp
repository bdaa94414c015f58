#pragma once
// A bool that one thread writes and others read, each access under a lock:
// it carries the editor window's visibility from the main thread to the
// listening session's thread.

#include <mutex>

namespace verbolin {

class LockedFlag {
  public:
    bool get() const {
        std::lock_guard lock(lock_);
        return flag_;
    }
    void set(bool value) {
        std::lock_guard lock(lock_);
        flag_ = value;
    }

  private:
    mutable std::mutex lock_;
    bool flag_ = false;
};

}  // namespace verbolin
