#pragma once
// A file descriptor closed with its owner, for code that works with the
// system's calls directly (openat and friends).

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

class OpenFd {
  public:
    OpenFd() = default;
    explicit OpenFd(int fd) : fd_(fd) {}
    ~OpenFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenFd(OpenFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OpenFd& operator=(OpenFd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OpenFd(const OpenFd&) = delete;
    OpenFd& operator=(const OpenFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes it, returning the errno of a close that failed, else 0.
    int close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_ = -1;
};

}  // namespace platform
