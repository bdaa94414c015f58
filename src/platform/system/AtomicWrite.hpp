#pragma once
// Replacing a file's whole content so that a reader, or a crash, never sees a
// half-written file: the data goes to a temporary file in the same folder,
// is flushed to disk, and is then renamed over the target.
//
// The file gets the mode a new file gets from the process's umask (0644
// under umask 022), as an editor's files do, whatever the old file's mode.
//
// A write killed before its rename leaves its temporary behind, named
// "<file name>.<6 letters or digits>.tmp". The next write to the same target
// removes such leftovers, but only those: a temporary whose writer is still
// running holds a lock on it and is left alone, and nothing of any other name
// is touched.

#include <filesystem>
#include <string_view>

namespace platform {

// Throws std::filesystem::filesystem_error; the target is then as it was and
// no temporary file is left behind. The folder must exist. Safe to call from
// several threads or processes for the same target: each write is whole and
// the last rename wins.
void writeFileAtomically(const std::filesystem::path& file, std::string_view data);

}  // namespace platform
