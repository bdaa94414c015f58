#pragma once
// Unpacks a zip archive with libarchive, refusing anything that could land
// outside the target folder: absolute paths, ".." components, symbolic links
// that lead out of it, and entry types other than files, folders and links.

#include <filesystem>
#include <stdexcept>

namespace platform {

class ArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ZipExtractor {
public:
    // `directory` must exist. Throws ArchiveError when the archive cannot be
    // read, is damaged, holds an unsafe entry or an entry cannot be written.
    // Entries before the failing one may already have been written, but never
    // outside `directory`.
    static void extract(const std::filesystem::path& archive, const std::filesystem::path& directory);
};

}  // namespace platform
