#pragma once
// A stage of the recognition pipeline. Turns mel-spectrogram features into the
// encoder's embeddings. The pipeline has its own implementation; a configuration may
// supply another one in its place (AuralithConfig::audioEncoder).

#include <cstdint>
#include <memory>
#include <optional>

#include "auralith/core/FeatureExtracting.hpp"

namespace auralith {

// Encoder embeddings ready for the text decoder.
using AudioEncoderOutputType = platform::ml::MLMultiArray;

class AudioEncoding {
  public:
    virtual ~AudioEncoding() = 0;

    // The width of one embedding; absent when unknown.
    virtual std::optional<std::int64_t> embedSize() const = 0;

    // The embeddings of one window's features. Blocks the calling thread until
    // they are there; null means this encoder produced nothing.
    virtual std::shared_ptr<AudioEncoderOutputType> encodeFeatures(
        const std::shared_ptr<FeatureExtractorOutputType>& features) = 0;

  protected:
    AudioEncoding() = default;
    AudioEncoding(const AudioEncoding&) = default;
    AudioEncoding& operator=(const AudioEncoding&) = default;
};

inline AudioEncoding::~AudioEncoding() = default;

}  // namespace auralith
