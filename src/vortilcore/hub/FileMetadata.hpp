#pragma once
// What the hub says about one repository file in answer to a HEAD on its
// resolve address: the commit it belongs to, its etag and size, and where
// its content is served from.

#include <cstdint>
#include <optional>
#include <string>

namespace vortil {

// Callers name it HubApi::FileMetadata.
struct FileMetadata {
    std::optional<std::string> commitHash;
    // Normalized: no "W/" and no surrounding quotes. 64 lowercase hex digits
    // mean the SHA-256 of the content.
    std::optional<std::string> etag;
    // Empty only when a 302 carries an empty "Location".
    std::string location;
    std::optional<int64_t> size;
};

}  // namespace vortil
