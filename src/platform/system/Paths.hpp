#pragma once
// Where the application keeps its files on Linux, following the XDG base
// directory rules: the data folder stands where other platforms put
// "Application Support".

#include <filesystem>

namespace platform {

// $XDG_DATA_HOME, or ~/.local/share when that is unset, empty or relative.
std::filesystem::path applicationSupportDirectory();

// $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path configDirectory();

// $TMPDIR, or /tmp.
std::filesystem::path temporaryDirectory();

// $HOME, or the password database's entry for this user.
std::filesystem::path homeDirectory();

// $XDG_DOCUMENTS_DIR when it is an absolute path, else ~/Documents. The
// folder may not exist yet.
std::filesystem::path documentsDirectory();

}  // namespace platform
