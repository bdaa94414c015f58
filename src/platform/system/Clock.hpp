#pragma once
// Where "now" comes from. Code that measures ages or schedules by time takes a
// Clock so that tests can run it on virtual time.

#include <chrono>
#include <mutex>

#include "platform/system/Date.hpp"

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;

    // The wall clock, shared by the whole process.
    static const Clock& system();
};

class SystemClock final : public Clock {
public:
    Date now() const override { return std::chrono::system_clock::now(); }
};

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
