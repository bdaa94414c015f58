#pragma once
// Virtual time for tests: code under test takes a Clock, the test moves it.

#include <chrono>
#include <mutex>

#include "platform/system/Clock.hpp"

namespace platform {

// A clock that moves only when told to. Safe to read and move from any thread.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(Date start = dateFromSecondsSince1970(1700000000.0)) : now_(start) {}

    Date now() const override {
        std::lock_guard lock(m_);
        return now_;
    }
    void set(Date t) {
        std::lock_guard lock(m_);
        now_ = t;
    }
    void advance(std::chrono::nanoseconds by) {
        std::lock_guard lock(m_);
        now_ += std::chrono::duration_cast<Date::duration>(by);
    }

  private:
    mutable std::mutex m_;
    Date now_;
};

}  // namespace platform
