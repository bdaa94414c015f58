#pragma once
// A file or folder that the system will not let the process look at or read
// (no permission, an I/O error, out of descriptors or memory), as against one
// that is not there at all. The first may well be sound: a copy fetched or
// installed over it meets the same refusal, so callers report it, naming
// what was refused and the system's reason, instead of replacing it.

#include <filesystem>
#include <string>

namespace platform {

// Any errno but 0, ENOENT and ENOTDIR.
bool isRefusal(int systemError) noexcept;

// What a refusal met on the way to `path` is about. For EACCES, the deepest
// item along `path` that the system still describes: `path` itself when it
// is that file or folder that may not be read, else the folder on the way
// that may not be searched. For any other errno, `path`.
std::filesystem::path refusedItem(const std::filesystem::path& path, int systemError);

// "Cannot read <refusedItem>: <the system's words for systemError>".
std::string cannotReadText(const std::filesystem::path& path, int systemError);

}  // namespace platform
