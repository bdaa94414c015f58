#pragma once
// For a test that needs a process of its own: in the forked child, this test
// program started afresh to run one disabled test alone, with its standard
// output quiet. Started afresh, not a forked copy going on: libraries such
// as libpulse refuse to work in a copy of a process that has used them.

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace testsupport {

// Never returns; exits 127 when the program cannot be started.
[[noreturn]] inline void runDisabledTestInThisChild(const char* name, const char* filter) {
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(quiet, 1);
    const std::string only = std::string("--gtest_filter=") + filter;
    ::execl("/proc/self/exe", name, only.c_str(), "--gtest_also_run_disabled_tests",
            static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace testsupport
