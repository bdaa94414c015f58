#pragma once
// The pipeline's mel-spectrogram stage: one prediction of the "MelSpectrogram"
// model per window. The window length and band count are read from the loaded
// model's description each time they are asked for.

#include <cstdint>
#include <memory>
#include <optional>

#include "auralith/core/FeatureExtracting.hpp"
#include "auralith/core/WhisperMLModel.hpp"

namespace auralith {

class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
  public:
    static constexpr const char* kSignpostName = "ExtractAudioFeatures";

    FeatureExtractor() = default;

    // Dimension 1 of the "melspectrogram_features" output; absent without a
    // model or when the model does not declare that output as a shaped array.
    std::optional<std::int64_t> melCount() const override;
    // Dimension 0 of the "audio" input, under the same conditions.
    std::optional<std::int64_t> windowSamples() const override;

    // Hands the caller's array to the model unchanged and returns the model's
    // array unchanged. Throws, in this order: WhisperError::audioProcessingFailed
    // for a missing array, WhisperError::modelsUnavailable without a model,
    // platform::CancellationError when the thread's task is cancelled; the
    // model's own errors pass through. An output without the features array
    // is WhisperError::audioProcessingFailed.
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<platform::ml::MLMultiArray>& audio) override;
};

}  // namespace auralith
