#pragma once
// Etags as servers write them and as the hub client compares and stores
// them. Both the metadata reader and the transfer judge content by its
// etag, so both must read a header the same way; this sits below both.

#include <optional>
#include <string>

namespace vortil {

// Drops one leading "W/" and the double quotes at both ends.
std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

}  // namespace vortil
