#include "platform/system/FileLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace platform {
namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(error, std::generic_category()));
}

}  // namespace

FileLock::FileLock(std::filesystem::path path) : path_(std::move(path)) { open(); }

void FileLock::open() {
    // O_NONBLOCK: a fifo or a device put in its place must not hang the open.
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd_ < 0) fail("cannot open the lock file", path_, errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        ::close(std::exchange(fd_, -1));
        fail("cannot open the lock file", path_, error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(std::exchange(fd_, -1));
        fail("the lock file is not a regular file", path_, EINVAL);
    }
}

bool FileLock::stillNamed() const {
    struct stat open {
    }, named{};
    if (::fstat(fd_, &open) != 0 || ::lstat(path_.c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // drops the lock with the file
}

bool FileLock::tryLock() {
    if (held_) return true;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            // The holder before removed the file while we waited on it: this
            // lock guards nothing any more, the file at the path does.
            if (!stillNamed()) {
                ::close(std::exchange(fd_, -1));
                open();
                continue;
            }
            held_ = true;
            return true;
        }
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) fail("cannot lock", path_, errno);
    }
}

void FileLock::unlock() noexcept {
    if (!held_) return;
    ::flock(fd_, LOCK_UN);
    held_ = false;
}

void FileLock::unlockAndRemove() noexcept {
    if (!held_) return;
    // Removed while held: whoever opened the old file before it went finds,
    // once it gets the lock, that the path names another file or none.
    ::unlink(path_.c_str());
    unlock();
}

}  // namespace platform
