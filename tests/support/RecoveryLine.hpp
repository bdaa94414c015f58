#pragma once
// A line of a recovery file as a run that could not save wrote it, for the
// suites and benchmarks that leave changes waiting for a start.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "verbolin/storage/TranscriptStore.hpp"

namespace testsupport {

// The record, the revision it was made from (null: none), its place in the
// file, under one file identity.
inline std::string recoveryLine(nlohmann::json record,
                                std::optional<verbolin::TranscriptStore::Revision> before,
                                int line) {
    char digits[17] = {};
    if (before) std::snprintf(digits, sizeof digits, "%016llx", (unsigned long long)*before);
    record["before"] = before ? nlohmann::json(digits) : nlohmann::json(nullptr);
    record["file"] = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
    record["line"] = line;
    return record.dump() + "\n";
}

}  // namespace testsupport
