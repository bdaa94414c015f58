#pragma once
// Where "now" comes from. Code that measures ages or schedules by time takes a
// Clock so that tests can run it on virtual time.

#include <chrono>

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

}  // namespace platform
