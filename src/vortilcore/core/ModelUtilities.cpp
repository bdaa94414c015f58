#include "vortilcore/core/ModelUtilities.hpp"

#include <algorithm>

namespace vortil {

namespace fs = std::filesystem;
using platform::ml::MLFeatureDescription;
using platform::ml::MLFeatureType;

namespace {

const char* const kPackageModelFile = "Data/com.apple.CoreML/model.mlmodel";

bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::optional<std::vector<std::int64_t>> shapeOf(
    const std::map<std::string, MLFeatureDescription>& table, const std::string& name) {
    auto it = table.find(name);
    if (it == table.end()) return std::nullopt;
    if (it->second.type != MLFeatureType::multiArray || !it->second.multiArrayConstraint)
        return std::nullopt;
    return it->second.multiArrayConstraint->shape;
}

std::optional<std::int64_t> entry(const std::optional<std::vector<std::int64_t>>& shape,
                                  std::int64_t position) {
    if (!shape || position < 0 || position >= static_cast<std::int64_t>(shape->size()))
        return std::nullopt;
    return (*shape)[static_cast<std::size_t>(position)];
}

}  // namespace

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name) {
    const fs::path compiled = folder / (name + ".mlmodelc");
    const fs::path package = folder / (name + ".mlpackage") / kPackageModelFile;
    if (!pathExists(compiled) && pathExists(package)) return package;
    return compiled;
}

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name,
                                        bool recursive) {
    if (!recursive) return detectModelURL(folder, name);
    const fs::path compiled = folder / (name + ".mlmodelc");
    if (pathExists(compiled)) return compiled;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) return compiled;
    const std::string wanted = name + ".mlmodelc";
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (it->path().filename() == wanted) return it->path();
    }
    return compiled;
}

std::optional<fs::path> ModelUtilities::detectModelURL(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return std::nullopt;
    std::vector<fs::path> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return std::nullopt;
        entries.push_back(it->path());
    }
    // Directory order is arbitrary on Linux; name order makes the answer repeatable.
    std::sort(entries.begin(), entries.end());
    for (const auto& p : entries)
        if (p.extension() == ".mlmodelc") return p;
    for (const auto& p : entries)
        if (p.extension() == ".mlpackage") return p / kPackageModelFile;
    return std::nullopt;
}

std::optional<std::vector<std::int64_t>> ModelUtilities::getModelInputShape(
    const platform::ml::MLModel* model, const std::string& name) {
    if (!model) return std::nullopt;
    return shapeOf(model->modelDescription().inputDescriptionsByName, name);
}

std::optional<std::vector<std::int64_t>> ModelUtilities::getModelOutputShape(
    const platform::ml::MLModel* model, const std::string& name) {
    if (!model) return std::nullopt;
    return shapeOf(model->modelDescription().outputDescriptionsByName, name);
}

std::optional<std::int64_t> ModelUtilities::getModelInputDimension(
    const platform::ml::MLModel* model, const std::string& name, std::int64_t position) {
    return entry(getModelInputShape(model, name), position);
}

std::optional<std::int64_t> ModelUtilities::getModelOutputDimension(
    const platform::ml::MLModel* model, const std::string& name, std::int64_t position) {
    return entry(getModelOutputShape(model, name), position);
}

}  // namespace vortil
