#pragma once
// What Verbolin keeps holds the user's words and voice, so it is the user's
// alone, as mail and browser profiles are: the program makes everything
// with umask 077 (folders 0700, files 0600), and its own folders left wider
// by an earlier run are narrowed once at start. Folders the user made (the
// XDG base folders, a chosen debug folder) keep their modes.

#include <filesystem>
#include <string>
#include <vector>

namespace verbolin {

// Verbolin's own folders: the data folder (or the older one it takes over
// while it is not there yet), and its folders for state and for settings.
std::vector<std::filesystem::path> ownFolders();

// Takes every access of group and others from `folder` when it is a folder
// of this user's, leaving the owner's own (a folder the user made read-only
// stays read-only). A link, or anything not there, is left alone. Returns
// why it could not, or an empty text.
std::string makePrivate(const std::filesystem::path& folder);

// makePrivate() over ownFolders(); what could not be done, one text each.
std::vector<std::string> makeOwnFoldersPrivate();

}  // namespace verbolin
