#pragma once
// This process's memory as the kernel reports it in /proc/self/status, for
// tests and benchmarks that check how much memory a piece of work takes:
// the resident size before it, and the peak (VmHWM) after restarting the
// peak's count.

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace testsupport {

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:", "VmSize:"), or -1.
inline long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// From now on VmHWM tells the peak resident size, not the process's.
inline void restartPeakCount() { std::ofstream("/proc/self/clear_refs") << "5"; }

// What the heap holds now, in MB.
inline double heapMegabytes() {
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

}  // namespace testsupport
