#pragma once
// Processor time spent by the calling thread. It grows on a busy machine too
// (shared caches, a sibling hyperthread, a lower clock), so no test bounds how
// fast a piece of work runs with it. Tests compare two measurements taken in
// the same process instead (how work grows with its size), or check that
// something idle does not spin, with a bound far above what it measures.
// kCpuTimeScale widens such bounds for sanitizer and unoptimised builds.

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

// Processor time the calling thread spends in work().
template <class Work>
double threadCpuSecondsOf(Work&& work) {
    const double started = threadCpuSeconds();
    work();
    return threadCpuSeconds() - started;
}

}  // namespace testsupport
