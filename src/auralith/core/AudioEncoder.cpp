#include "auralith/core/AudioEncoder.hpp"

#include "auralith/core/AudioEncoderInput.hpp"
#include "auralith/core/AudioEncoderOutput.hpp"
#include "auralith/core/StagePrediction.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "vortilcore/core/ModelUtilities.hpp"

namespace auralith {

std::optional<std::int64_t> AudioEncoder::embedSize() const {
    const auto current = model();
    return vortil::ModelUtilities::getModelOutputDimension(
        current.get(), AudioEncoderOutput::kEncoderOutputEmbeds, 1);
}

std::optional<std::int64_t> AudioEncoder::sequenceLength() const {
    const auto current = model();
    return vortil::ModelUtilities::getModelOutputDimension(
        current.get(), AudioEncoderOutput::kEncoderOutputEmbeds, 3);
}

std::shared_ptr<AudioEncoderOutputType> AudioEncoder::encodeFeatures(
    const std::shared_ptr<FeatureExtractorOutputType>& features) {
    if (!features)
        throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
    const auto current = model();
    if (!current) throw WhisperError::modelsUnavailable("Models are unavailable");
    auto output = detail::predictStage(*current, AudioEncoderInput(features), kSignpostName,
                                       Logging::AudioEncoding::signposter());
    return detail::readStageOutput(
        [&] { return AudioEncoderOutput(std::move(output)).encoder_output_embeds(); });
}

}  // namespace auralith
