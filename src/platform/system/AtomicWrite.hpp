#pragma once
// Replacing a file's whole content so that a reader, or a crash, never sees a
// half-written file: the data goes to a temporary file in the same folder,
// is flushed to disk, and is then renamed over the target.

#include <filesystem>
#include <string_view>

namespace platform {

// Throws std::filesystem::filesystem_error; the target is then as it was and
// no temporary file is left behind. The folder must exist.
void writeFileAtomically(const std::filesystem::path& file, std::string_view data);

}  // namespace platform
