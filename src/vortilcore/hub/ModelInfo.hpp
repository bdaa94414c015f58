#pragma once
// One model in a hub repository of models: its top-level folder, with an
// optional version folder and an optional variant folder below it.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/ml/MLModelConfiguration.hpp"

namespace vortil {

struct ModelInfo {
    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    // Carried for the caller; nothing here reads it but debugDescription.
    platform::ml::MLComputeUnits computeUnits = platform::ml::MLComputeUnits::all;

    // name/version/variant/*, with "*" standing in for an absent level.
    std::string downloadPattern() const;
    // The present ones of name, version and variant joined by "/".
    std::string description() const;
    // "ModelInfo(name: n, version: nil, variant: v, computeUnit: all)".
    std::string debugDescription() const;
    // base/name[/version][/variant]: absent levels are skipped, unlike in the
    // download pattern.
    std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
    // The folder holding the nearest enclosing folder called `name`; nothing
    // when no such folder lies below the root.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;
};

}  // namespace vortil
