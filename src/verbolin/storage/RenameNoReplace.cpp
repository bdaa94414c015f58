#include "verbolin/storage/RenameNoReplace.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace verbolin {

bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& error) {
    error.clear();
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without the flag: check, then move. The window between
        // the two is acceptable for a folder only this user writes to.
        struct stat st;
        if (::lstat(to.c_str(), &st) == 0) {
            error = std::make_error_code(std::errc::file_exists);
            return false;
        }
        if (::rename(from.c_str(), to.c_str()) == 0) return true;
        err = errno;
    }
    error = std::error_code(err, std::generic_category());
    return false;
}

}  // namespace verbolin
