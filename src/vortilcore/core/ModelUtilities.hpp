#pragma once
// Finding a model in a folder and reading the declared shapes of its features.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/MLModel.hpp"

namespace vortil {

struct ModelUtilities {
    ModelUtilities() = delete;

    // folder/name.mlmodelc, unless only the package form
    // folder/name.mlpackage/Data/com.apple.CoreML/model.mlmodel exists.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder,
                                                const std::string& name);
    // With recursive, also the first "name.mlmodelc" anywhere below the folder.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder,
                                                const std::string& name, bool recursive);
    // The first compiled model (or else package) directly in the folder, by name order.
    static std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

    static std::optional<std::vector<std::int64_t>> getModelInputShape(
        const platform::ml::MLModel* model, const std::string& name);
    static std::optional<std::vector<std::int64_t>> getModelOutputShape(
        const platform::ml::MLModel* model, const std::string& name);
    static std::optional<std::int64_t> getModelInputDimension(const platform::ml::MLModel* model,
                                                              const std::string& name,
                                                              std::int64_t position);
    static std::optional<std::int64_t> getModelOutputDimension(const platform::ml::MLModel* model,
                                                               const std::string& name,
                                                               std::int64_t position);
};

}  // namespace vortil
