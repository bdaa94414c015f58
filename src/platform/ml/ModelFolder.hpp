#pragma once
// A compiled model on disk: a folder "<Name>.mlmodelc" holding
//   model.json          {"format": "verbolin-mlmodel", "version": 1, "kind": ...,
//                        "dimensions": {...}, "inputs": [...], "outputs": [...]}
//   weights.safetensors the kind's weight tensors, memory-mapped.
// Each feature entry is {"name", "type": "multiArray", "dataType", "shape", "optional"}.
// Reading checks the folder's structure; checkAgainstLayout() checks that its
// features and weights are exactly what its kind needs.

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/ml/MLModelDescription.hpp"
#include "platform/ml/SafetensorsFile.hpp"

namespace platform::ml {

class ModelFolder {
  public:
    static constexpr const char* kFormat = "verbolin-mlmodel";
    static constexpr int kVersion = 1;
    static constexpr const char* kDescriptionFile = "model.json";
    static constexpr const char* kWeightsFile = "weights.safetensors";

    // Throws MLModelError naming the folder and the fault.
    static ModelFolder read(const std::filesystem::path& folder);

    // Writes model.json (weights are written separately with writeSafetensors).
    static void writeDescription(const std::filesystem::path& folder, const std::string& kind,
                                 const nlohmann::json& dimensions,
                                 const MLModelDescription& description);

    // The features declared in model.json must equal the kind's, and every weight
    // the kind needs must be present with its shape and a float dtype (F16, F32, BF16).
    void checkAgainstLayout() const;

    const std::filesystem::path& path() const { return path_; }
    const std::string& kind() const { return kind_; }
    const nlohmann::json& dimensions() const { return dimensions_; }
    const MLModelDescription& description() const { return description_; }
    const std::shared_ptr<const SafetensorsFile>& weights() const { return weights_; }

    // A weight the layout requires (call after checkAgainstLayout()).
    const SafetensorsTensor& tensor(const std::string& name) const;

  private:
    std::filesystem::path path_;
    std::string kind_;
    nlohmann::json dimensions_;
    MLModelDescription description_;
    std::shared_ptr<const SafetensorsFile> weights_;
};

// Feature descriptions as model.json spells them.
nlohmann::ordered_json featureToJson(const MLFeatureDescription& feature);
std::string featureTypeName(MLFeatureType type);

}  // namespace platform::ml
