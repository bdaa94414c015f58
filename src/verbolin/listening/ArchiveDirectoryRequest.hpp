#pragma once
// Reads a model pack archive's central directory from the pack server before
// the archive is downloaded, so that the room its install takes is known
// from the start: ranged requests for the archive's end (one for a small
// directory, more when the directory or Zip64's records lie beyond the end
// record's reach), parsed by platform::ZipExtractor as the unpacking will be.
// Only an answer that is exactly what was asked counts: the asked piece
// (206 with that Content-Range, of that size and entity) and that many bytes.

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/system/ZipExtractor.hpp"

namespace verbolin {

// The archive as the server's HEAD named it.
struct RemoteArchive {
    std::string url;
    int64_t size = 0;
    std::optional<std::string> etag;          // normalized, as vortil::normalizeEtag gives it
    std::optional<std::string> lastModified;  // strong, and only without an etag
};

struct ArchiveDirectoryAnswer {
    // What the archive's directory declares it unpacks to; none when the
    // server would not give the pieces asked for.
    std::optional<platform::ZipExtractor::Contents> contents;
    std::string unavailable;  // why not, for the log
};

// Throws platform::ArchiveError when the pieces the server gave as asked
// hold a damaged directory or one past `limits` (the archive the transfer
// would fetch is that one), and platform::CancellationError once `stop` is
// requested. A directory past a few megabytes is not fetched: none.
ArchiveDirectoryAnswer requestArchiveDirectory(const RemoteArchive& archive,
                                               const platform::ZipExtractor::Limits& limits,
                                               std::stop_token stop);

}  // namespace verbolin
