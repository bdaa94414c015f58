#pragma once
// Writes every byte to a file descriptor, through short writes and
// interruptions: one loop for every writer that must know whether all of its
// bytes reached the file, and one for a copy from one descriptor to another.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace platform {

// 0 when all `size` bytes were written, else the errno of the write that failed.
inline int writeAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;  // no progress and no error: never expected of a file
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Copies what is left to read of `from` to `to`: 0 once all of it was
// written, else the errno of the read or write that failed.
inline int copyAll(int from, int to) {
    std::vector<char> buffer(std::size_t{1} << 18);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (const int error = writeAll(to, buffer.data(), static_cast<std::size_t>(n)))
            return error;
    }
}

}  // namespace platform
