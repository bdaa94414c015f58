#pragma once
// A part of a test that must meet the refusals an ordinary user meets (a file
// of mode 000). No mode refuses root, so under root the part runs in a child
// process that has become nobody (uid and gid 65534), which reaches the files
// it needs as their owner (handToNobody); anyone else runs it in place. The
// part's result comes back as text: checks made inside a child are lost
// with it, so the part only reports and the test checks.

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

namespace testsupport {

inline constexpr uid_t kNobodyId = 65534;

// Under root, makes `root` and everything in it nobody's; nothing otherwise.
inline void handToNobody(const std::filesystem::path& root) {
    if (::geteuid() != 0) return;
    ::lchown(root.c_str(), kNobodyId, kNobodyId);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        ::lchown(entry.path().c_str(), kNobodyId, kNobodyId);
}

// What `part` returns, run where mode 000 refuses. A child that could not
// become nobody, threw or crashed says so in the text.
inline std::string unprivileged(const std::function<std::string()>& part) {
    if (::geteuid() != 0) return part();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return "no pipe for the child";
    const pid_t pid = ::fork();
    if (pid < 0) return "no child";
    if (pid == 0) {
        ::close(ends[0]);
        std::string result;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobodyId, kNobodyId, kNobodyId) != 0 ||
            ::setresuid(kNobodyId, kNobodyId, kNobodyId) != 0) {
            result = "the child could not become nobody";
        } else {
            try {
                result = part();
            } catch (const std::exception& e) {
                result = std::string("the child threw: ") + e.what();
            }
        }
        for (size_t at = 0; at < result.size();) {
            const ssize_t n = ::write(ends[1], result.data() + at, result.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        result.append(buffer, size_t(n));
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        result += "\n(the child ended with wait status " + std::to_string(status) + ")";
    return result;
}

}  // namespace testsupport
