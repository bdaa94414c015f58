#pragma once
// Processor time spent by the calling thread. Tests that bound how much work
// something takes measure this rather than the wall clock, so that other
// processes on a busy machine do not count.

#include <time.h>

namespace testsupport {

inline double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace testsupport
