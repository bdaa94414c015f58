#pragma once
// Moving a file or folder the way the application expects a move to behave:
// it fails when something already stands at the destination instead of
// silently replacing it, as rename(2) would.

#include <filesystem>

namespace platform {

// Renames `from` to `to` on the same file system. Throws
// std::filesystem::filesystem_error (EEXIST when `to` exists, EXDEV across
// file systems, ...).
void moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace platform
