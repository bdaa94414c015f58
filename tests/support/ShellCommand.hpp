#pragma once
// Runs a shell command line the way a developer would type it and keeps what
// it printed (standard output and error together) and its exit status.

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testsupport {

struct ShellResult {
    int status = -1;  // the exit status; -1 when it could not start or did not exit
    std::string output;
};

inline ShellResult runShell(const std::string& command) {
    ShellResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) r.output += buf;
    const int raw = ::pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

}  // namespace testsupport
