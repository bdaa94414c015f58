#pragma once
// Validators as servers write them and as the hub client compares and stores
// them. Both the metadata reader and the transfer judge content by its
// etag, so both must read a header the same way; this sits below both. A
// server that sends no etag may still name its content by the time it last
// changed, which is as good when it cannot name two contents.

#include <optional>
#include <string>

#include "platform/system/HttpClient.hpp"

namespace vortil {

// Drops one leading "W/" and the double quotes at both ends.
std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

// The answer's Last-Modified text when it can tell contents apart: only when
// the answer's Date lies at least 60 seconds after it (RFC 9110, 8.8.2.2). A
// file changed twice within one second keeps one time for both contents,
// and the two times may come from different clocks, or from different
// moments of making the answer: a time less than a minute old may still be
// the next content's as well.
std::optional<std::string> strongLastModified(const platform::HttpHeaders& headers);

// Whether two Last-Modified texts name the same time (servers may write one
// time in more than one form); false when either is no date.
bool sameLastModified(const std::string& a, const std::string& b);

}  // namespace vortil
