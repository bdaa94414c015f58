#pragma once
// Where the application keeps its files on Linux, following the XDG base
// directory rules: the data folder stands where other platforms put
// "Application Support".

#include <filesystem>
#include <string>

namespace platform {

// $XDG_DATA_HOME, or ~/.local/share when that is unset, empty or relative.
std::filesystem::path applicationSupportDirectory();

// $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path configDirectory();

// $XDG_STATE_HOME, or ~/.local/state.
std::filesystem::path stateDirectory();

// A short name for a folder, the same in every run and build: 16 hex digits
// of a hash of its absolute path, with "." and ".." and links resolved as
// far as the folder exists.
std::string folderKey(const std::filesystem::path& folder);

// $TMPDIR, or /tmp.
std::filesystem::path temporaryDirectory();

// $HOME, or the password database's entry for this user.
std::filesystem::path homeDirectory();

// $XDG_DOCUMENTS_DIR when it is an absolute path, else ~/Documents. The
// folder may not exist yet.
std::filesystem::path documentsDirectory();

}  // namespace platform
