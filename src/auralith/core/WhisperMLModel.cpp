#include "auralith/core/WhisperMLModel.hpp"

#include "platform/ml/ModelFactory.hpp"

namespace auralith {

void WhisperMLModel::loadModel(const std::filesystem::path& url,
                               platform::ml::MLComputeUnits computeUnits, bool prewarmMode) {
    platform::ml::MLModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    auto loaded = platform::ml::ModelFactory::load(url, configuration);
    // A prewarm keeps nothing: the loaded model goes away with `loaded`.
    setModel(prewarmMode ? nullptr : std::move(loaded));
}

void WhisperMLModel::unloadModel() { setModel(nullptr); }

vortil::ModelState WhisperMLModel::modelState() const {
    return model() ? vortil::ModelState::loaded : vortil::ModelState::unloaded;
}

}  // namespace auralith
