#include "platform/system/FileMove.hpp"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <system_error>

namespace platform {

void moveItem(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // The file system cannot rename exclusively; check, then rename.
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(to, ec))) {
            err = EEXIST;
        } else if (::rename(from.c_str(), to.c_str()) == 0) {
            return;
        } else {
            err = errno;
        }
    }
    throw std::filesystem::filesystem_error("cannot move item", from, to,
                                            std::error_code(err, std::generic_category()));
}

}  // namespace platform
