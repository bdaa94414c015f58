#pragma once
// What a download metadata side file records about the local copy of one
// repository file: the remote commit and etag it belongs to, and when that
// was last confirmed.

#include <string>

#include "platform/system/Date.hpp"

namespace vortil {

// Callers name it HubApi::LocalDownloadFileMetadata.
struct LocalDownloadFileMetadata {
    std::string commitHash;
    std::string etag;
    // The side file's name without ".metadata": the last component only.
    std::string filename;
    platform::Date timestamp;
};

}  // namespace vortil
