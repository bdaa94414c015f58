// Remote file metadata: one HEAD on a file's resolve address, read into a
// FileMetadata record.

#include <charconv>

#include "vortilcore/hub/FileMetadata.hpp"
#include "vortilcore/hub/HubApi.hpp"

namespace vortil {

std::optional<int64_t> HubApi::parseFileSize(std::string_view text) {
    // An optional sign, then ASCII digits only: no spaces, no suffix, no overflow.
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    // A negative size would pass the "size present" test and fail only after
    // the whole transfer; it is as good as none.
    if (value < 0) return std::nullopt;
    return value;
}

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url) const {
    const platform::HttpResponse response = httpHead(url);
    const platform::HttpHeaders& headers = response.headers;

    std::optional<std::string> location;
    if (response.status == 302) {
        location = headers.value("Location");
    } else if (!response.effectiveURL.empty()) {
        location = response.effectiveURL;
    }

    FileMetadata metadata;
    metadata.commitHash = headers.value("X-Repo-Commit");
    auto etag = headers.value("X-Linked-Etag");
    if (!etag) etag = headers.value("Etag");
    metadata.etag = normalizeEtag(etag);
    metadata.location = location.value_or(url);
    auto size = headers.value("X-Linked-Size");
    if (!size) size = headers.value("Content-Length");
    metadata.size = parseFileSize(size.value_or(""));
    return metadata;
}

}  // namespace vortil
