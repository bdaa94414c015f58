#pragma once
// The pipeline's absolute time: seconds since 2001-01-01 UTC on the wall
// clock. Timings that are points in time (pipeline start, first token) and
// durations measured against them use it.

#include "platform/system/Clock.hpp"

namespace auralith {

inline double absoluteTimeNow() {
    return platform::secondsSince1970(platform::Clock::system().now()) - 978307200.0;
}

}  // namespace auralith
