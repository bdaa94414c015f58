#pragma once
// The contract of an object that loads and unloads one model.

#include <filesystem>

#include "platform/ml/MLModelConfiguration.hpp"

namespace vortil {

class MLModelLoading {
  public:
    virtual ~MLModelLoading() = default;

    virtual void loadModel(const std::filesystem::path& url,
                           platform::ml::MLComputeUnits computeUnits, bool prewarmMode) = 0;
    virtual void unloadModel() = 0;

    void loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits computeUnits) {
        loadModel(url, computeUnits, false);
    }
};

}  // namespace vortil
