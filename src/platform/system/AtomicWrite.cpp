#include "platform/system/AtomicWrite.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace platform {
namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int err) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(err, std::generic_category()));
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& file, std::string_view data) {
    const auto folder =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    std::string pattern = (folder / (file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) fail("cannot create a temporary file", folder, errno);

    int err = 0;
    const char* what = nullptr;
    for (size_t done = 0; done < data.size() && !what;) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            what = "cannot write";
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (!what && ::fsync(fd) != 0) err = errno, what = "cannot flush";
    if (::close(fd) != 0 && !what) err = errno, what = "cannot close";
    if (!what && ::rename(pattern.c_str(), file.c_str()) != 0) err = errno, what = "cannot replace";
    if (what) {
        ::unlink(pattern.c_str());
        fail(what, file, err);
    }
    // Make the rename itself durable.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace platform
