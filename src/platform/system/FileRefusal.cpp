#include "platform/system/FileRefusal.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace platform {

bool isRefusal(int systemError) noexcept {
    return systemError != 0 && systemError != ENOENT && systemError != ENOTDIR;
}

std::filesystem::path refusedItem(const std::filesystem::path& path, int systemError) {
    if (systemError != EACCES) return path;
    // A folder that may not be searched hides what lies in it, while the
    // folder itself is still described by its parent: the first item up
    // the path that stat(2) describes is the one to give the user.
    for (std::filesystem::path item = path; !item.empty(); item = item.parent_path()) {
        struct stat st {};
        if (::stat(item.c_str(), &st) == 0) return item;
        if (item == item.parent_path()) break;
    }
    return path;
}

std::string cannotReadText(const std::filesystem::path& path, int systemError) {
    return "Cannot read " + refusedItem(path, systemError).string() + ": " +
           std::generic_category().message(systemError);
}

}  // namespace platform
