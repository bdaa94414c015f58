#pragma once
// The pipeline's audio encoder stage: one prediction of the "AudioEncoder"
// model per window. The embedding width and sequence length are read from the
// loaded model's description each time they are asked for.

#include <cstdint>
#include <memory>
#include <optional>

#include "auralith/core/AudioEncoding.hpp"
#include "auralith/core/WhisperMLModel.hpp"

namespace auralith {

class AudioEncoder : public AudioEncoding, public WhisperMLModel {
  public:
    static constexpr const char* kSignpostName = "EncodeAudio";

    AudioEncoder() = default;

    // Dimension 1 of the "encoder_output_embeds" output; absent without a model
    // or when the model does not declare that output as a shaped array.
    std::optional<std::int64_t> embedSize() const override;
    // Dimension 3 of the same output, under the same conditions.
    virtual std::optional<std::int64_t> sequenceLength() const;

    // Hands the features to the model unchanged and returns the model's array
    // unchanged. Throws, in this order: WhisperError::audioProcessingFailed for
    // a missing array, WhisperError::modelsUnavailable without a model,
    // platform::CancellationError when the thread's task is cancelled; the
    // model's own errors pass through. An output without the embeddings array
    // is WhisperError::audioProcessingFailed.
    std::shared_ptr<AudioEncoderOutputType> encodeFeatures(
        const std::shared_ptr<FeatureExtractorOutputType>& features) override;
};

}  // namespace auralith
