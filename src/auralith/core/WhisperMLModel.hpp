#pragma once
// The shared base of the pipeline stages that wrap one compiled model (the
// mel-spectrogram extractor, the audio encoder, the text decoder): loading,
// prewarming, unloading and the loaded test, all behind one lock.
//
// Prewarming loads the model so that the runtime prepares it for this machine,
// then drops it again; the stage stays unloaded until a plain load.

#include <filesystem>
#include <memory>

#include "platform/ml/MLModel.hpp"
#include "vortilcore/core/MLModelLoading.hpp"
#include "vortilcore/core/ModelState.hpp"
#include "vortilcore/core/Protected.hpp"

namespace auralith {

class WhisperMLModel : public vortil::MLModelLoading {
  public:
    using vortil::MLModelLoading::loadModel;

    // The current model, or null. Copies of the pointer stay valid after an unload.
    std::shared_ptr<platform::ml::MLModel> model() const { return model_.get(); }
    void setModel(std::shared_ptr<platform::ml::MLModel> model) { model_.set(std::move(model)); }

    // Loads the ".mlmodelc" folder with the given compute units and keeps it
    // unless prewarming. The runtime's error passes through unchanged and
    // leaves the previous model in place.
    void loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits computeUnits,
                   bool prewarmMode) override;
    void unloadModel() override;

    // Loaded exactly while a model is held; never any other state.
    vortil::ModelState modelState() const;

  private:
    vortil::Protected<std::shared_ptr<platform::ml::MLModel>> model_{nullptr};
};

}  // namespace auralith
