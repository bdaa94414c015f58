#pragma once
// A stage of the recognition pipeline. Turns one window of audio into mel-spectrogram
// features. The pipeline has its own implementation; a configuration may supply another
// one in its place (AuralithConfig::featureExtractor).

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

// Mel features ready for the encoder. The multi-array is the one kind of
// value the stages hand on (audio windows, AudioProcessorOutputType, are
// multi-arrays too).
using FeatureExtractorOutputType = platform::ml::MLMultiArray;

class FeatureExtracting {
  public:
    virtual ~FeatureExtracting() = 0;

    // The number of mel bands of the features; absent when unknown.
    virtual std::optional<std::int64_t> melCount() const = 0;
    // The length of one audio window in samples; absent when unknown (callers
    // then use Constants::defaultWindowSamples).
    virtual std::optional<std::int64_t> windowSamples() const = 0;

    // The features of one padded or trimmed window. Blocks the calling thread
    // until they are there; null means this extractor produced no features.
    virtual std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<platform::ml::MLMultiArray>& audio) = 0;

  protected:
    FeatureExtracting() = default;
    FeatureExtracting(const FeatureExtracting&) = default;
    FeatureExtracting& operator=(const FeatureExtracting&) = default;
};

inline FeatureExtracting::~FeatureExtracting() = default;

}  // namespace auralith
