#include "platform/ml/MappedFile.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

MappedFile::MappedFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        throw MLModelError(MLModelError::Code::io,
                           "Cannot open " + path.string() + ": " + std::strerror(err), err);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw MLModelError(MLModelError::Code::io,
                           "Cannot open " + path.string() + ": " + std::strerror(err), err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw MLModelError(MLModelError::Code::io, path.string() + " is not a regular file");
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            throw MLModelError(MLModelError::Code::io,
                               "Cannot map " + path.string() + ": " + std::strerror(err), err);
        }
        data_ = static_cast<const std::byte*>(p);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(const_cast<std::byte*>(data_), size_);
}

}  // namespace platform::ml
