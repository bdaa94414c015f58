#include "auralith/core/FeatureExtractor.hpp"

#include "auralith/core/MelSpectrogramInput.hpp"
#include "auralith/core/MelSpectrogramOutput.hpp"
#include "auralith/core/StagePrediction.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "vortilcore/core/ModelUtilities.hpp"

namespace auralith {

std::optional<std::int64_t> FeatureExtractor::melCount() const {
    const auto current = model();
    return vortil::ModelUtilities::getModelOutputDimension(
        current.get(), MelSpectrogramOutput::kMelspectrogramFeatures, 1);
}

std::optional<std::int64_t> FeatureExtractor::windowSamples() const {
    const auto current = model();
    return vortil::ModelUtilities::getModelInputDimension(current.get(),
                                                          MelSpectrogramInput::kAudio, 0);
}

std::shared_ptr<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(
    const std::shared_ptr<platform::ml::MLMultiArray>& audio) {
    if (!audio)
        throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
    const auto current = model();
    if (!current) throw WhisperError::modelsUnavailable("Models are unavailable");
    auto output = detail::predictStage(*current, MelSpectrogramInput(audio), kSignpostName,
                                       Logging::FeatureExtractor::signposter());
    return detail::readStageOutput(
        [&] { return MelSpectrogramOutput(std::move(output)).melspectrogramFeatures(); });
}

}  // namespace auralith
