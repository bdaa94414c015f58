#pragma once
// Times one stage of a transcription (a model call, the sampling of a token,
// a window's post-processing) and adds its seconds, once, to the timings
// record through `add`: when stop() is called, or else at the end of the
// scope. A stage cut short by an exception adds nothing, since it measured no
// finished run. Not thread-safe; one timer belongs to one scope.

#include <chrono>
#include <exception>
#include <utility>

#include "auralith/core/TranscriptionTimings.hpp"

namespace auralith {

template <class Add>
class StageTimer {
  public:
    explicit StageTimer(Add add) : add_(std::move(add)) {}
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;
    ~StageTimer() {
        if (std::uncaught_exceptions() == exceptionsAtStart_) stop();
    }

    // Ends the stage and gives its seconds; later calls give the same.
    double stop() {
        if (!stopped_) {
            stopped_ = true;
            seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
            add_(seconds_);
        }
        return seconds_;
    }
    // Ends the stage without adding it: the work it timed was not a run.
    void discard() { stopped_ = true; }

  private:
    using Clock = std::chrono::steady_clock;
    Add add_;
    Clock::time_point start_ = Clock::now();
    int exceptionsAtStart_ = std::uncaught_exceptions();
    bool stopped_ = false;
    double seconds_ = 0;
};

using TimingsField = double TranscriptionTimings::*;

// Adds the seconds to `duration` of a record the caller owns, and one to
// `runs` where given. Allocates nothing, so it may time every token.
inline auto addingTo(TranscriptionTimings& record, TimingsField duration,
                     TimingsField runs = nullptr) {
    return [&record, duration, runs](double seconds) {
        record.*duration += seconds;
        if (runs) record.*runs += 1;
    };
}

}  // namespace auralith
