#pragma once
// Processor time spent by the calling thread. Tests that bound how much work
// something takes measure this rather than the wall clock, so that other
// processes on a busy machine do not count, and scale their bounds by
// kCpuTimeScale, since sanitizer and unoptimised builds run several times slower.

#include <time.h>

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr double kSanitizerScale = 4.0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr double kSanitizerScale = 4.0;
#else
inline constexpr double kSanitizerScale = 1.0;
#endif
#else
inline constexpr double kSanitizerScale = 1.0;
#endif

// A build without optimisation (a Debug build) runs the hot loops far slower.
#ifdef __OPTIMIZE__
inline constexpr double kCpuTimeScale = kSanitizerScale;
#else
inline constexpr double kCpuTimeScale = 10.0 * kSanitizerScale;
#endif

inline double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace testsupport
