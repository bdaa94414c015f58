#pragma once
// Unpacks a zip archive with libarchive, refusing anything that could land
// outside the target folder: absolute paths, ".." components, symbolic links
// that lead out of it, and entry types other than files, folders and links.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace platform {

class ArchiveError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The caller asked the extraction to stop; the archive itself may be sound.
class ExtractionStopped : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ZipExtractor {
  public:
    // What an archive may unpack to; past any of these it is refused as a
    // bomb. The defaults are far above any model pack.
    struct Limits {
        std::uint64_t maxBytes = std::uint64_t{16} << 30;  // all entries' data together
        std::uint64_t maxEntries = 100000;
        // Unpacked bytes per archive byte, over the whole archive (weights
        // barely compress; a bomb runs to thousands).
        std::uint64_t maxRatio = 200;
    };

    // `directory` must exist. Throws ArchiveError when the archive cannot be
    // read, is damaged, holds an unsafe entry, exceeds `limits` or an entry
    // cannot be written; std::filesystem::filesystem_error, naming the
    // entry's file, when the disk refuses it (full, over quota, read-only).
    // Nothing is ever written outside `directory`, and on failure what was
    // written is removed again (entries already in `directory` beforehand
    // are left alone unless the archive overwrote them).
    //
    // `stopRequested`, when given, is asked before every entry and every block
    // of data (any thread may make it true); once it says so the extraction
    // removes what it wrote and throws ExtractionStopped.
    static void extract(const std::filesystem::path& archive,
                        const std::filesystem::path& directory, const Limits& limits,
                        const std::function<bool()>& stopRequested = {});
    static void extract(const std::filesystem::path& archive,
                        const std::filesystem::path& directory) {
        extract(archive, directory, Limits{});
    }

    // What an archive's own directory says it unpacks to.
    struct Contents {
        std::uint64_t bytes = 0;  // all entries' data together
        std::uint64_t entries = 0;
    };
    // The end of an archive of `archiveSize` bytes, as far as it is at hand:
    // `bytes` are the archive's own from `offset` to its end.
    struct Tail {
        std::uint64_t archiveSize = 0;
        std::uint64_t offset = 0;
        std::string_view bytes;
    };
    // How far from its end an archive's end record may lie: its 22 bytes,
    // the longest comment, and Zip64's locator and record before them.
    static constexpr std::uint64_t kEndReach = 22 + 0xFFFF + 20 + 56;

    // Reads the entries' headers only, writing nothing: of a zip on disk,
    // its central directory. None when an entry does not declare its size.
    // Throws ArchiveError when the archive cannot be read or is damaged, or
    // when what it declares already exceeds `limits`.
    static std::optional<Contents> declaredContents(const std::filesystem::path& archive,
                                                    const Limits& limits);
    // The same of an archive known only by its end, such as one that is
    // still to be downloaded: its central directory (and the end records
    // that locate it), which declares every entry's size; a stored entry
    // counts the larger of its two, as its data is copied as it lies.
    // `tail` must reach back over kEndReach bytes (or to the archive's
    // start) and to directoryStart(tail). A directory that is damaged here
    // may still unpack from the entries' own headers, which lie all over
    // the archive: the archive on disk is measured again.
    static Contents declaredContents(const Tail& tail, const Limits& limits);
    // The most any archive of `archiveSize` bytes may declare within
    // `limits`, and so unpack to: the data extract() allows it, and as many
    // entries as it has room for headers of (each has one of 30 bytes at
    // least before its data).
    static Contents mostContents(std::uint64_t archiveSize, const Limits& limits);
    // Where the bytes declaredContents(tail) needs begin, by the end record
    // that `tail` holds; when it lies before tail.offset, the caller brings
    // the bytes from there on and asks again (a Zip64 archive may take two
    // rounds: its end record first, then its directory). Throws ArchiveError
    // when `tail` holds no sound end record.
    static std::uint64_t directoryStart(const Tail& tail);

  private:
    static void extractInto(const std::filesystem::path& archive, const std::filesystem::path& root,
                            std::uint64_t maxEntries, std::uint64_t budget,
                            const std::function<bool()>& stopRequested,
                            std::vector<std::filesystem::path>& written);
};

}  // namespace platform
