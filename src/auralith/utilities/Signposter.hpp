#pragma once
// Timed intervals over a Logger, standing in for the platform's signposts.
// Signposts are off until enabled; then each begin and end becomes a
// debug-level entry of the logger (an end carries the interval's duration), or
// goes to an installed sink instead. They never affect results.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "auralith/utilities/Logger.hpp"

namespace auralith {

// One open interval. It belongs to the code that opened it; ending it marks it
// ended in place.
struct SignpostIntervalState {
    uint64_t id = 0;
    bool open = true;
    std::chrono::steady_clock::time_point began;
};

struct SignpostEvent {
    enum class Kind { begin, end };
    Kind kind = Kind::begin;
    uint64_t id = 0;
    std::string name;
    std::string message;
    // For an end: the time since its begin.
    std::chrono::nanoseconds elapsed{0};
};

class Signposter {
  public:
    using Sink = std::function<void(const SignpostEvent&)>;

    explicit Signposter(std::shared_ptr<const Logger> logger);

    const Logger& logger() const { return *logger_; }

    bool isEnabled() const { return enabled_.load(std::memory_order_relaxed); }
    void setEnabled(bool enabled) { enabled_.store(enabled, std::memory_order_relaxed); }

    // An empty sink restores the logger as the destination.
    void setSink(Sink sink);

    // A new identifier, unique within this signposter.
    uint64_t makeSignpostID() { return nextID_.fetch_add(1, std::memory_order_relaxed); }

    void emit(const SignpostEvent& event) const;

  private:
    std::shared_ptr<const Logger> logger_;
    std::atomic<bool> enabled_{false};
    std::atomic<uint64_t> nextID_{1};
    mutable std::mutex sinkLock_;
    std::shared_ptr<const Sink> sink_;
};

}  // namespace auralith
