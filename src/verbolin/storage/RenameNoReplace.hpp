#pragma once
// Moves a file or folder to a new name only when nothing exists there yet.
// A plain rename(2) would silently replace the target, which for an earlier
// backup means losing it.

#include <filesystem>
#include <system_error>

namespace verbolin {

// True when moved; otherwise false with the reason in `error` (EEXIST when
// the target exists).
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& error);

}  // namespace verbolin
