#pragma once
// Writes every byte to a file descriptor, through short writes and
// interruptions: one loop for every writer that must know whether all of its
// bytes reached the file.

#include <unistd.h>

#include <cerrno>
#include <cstddef>

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

}  // namespace platform
