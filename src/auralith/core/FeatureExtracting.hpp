#pragma once
// A stage of the recognition pipeline. Turns one window of audio into mel-spectrogram
// features. The pipeline has its own implementation; a configuration may supply another
// one in its place (AuralithConfig::featureExtractor).

namespace auralith {

class FeatureExtracting {
  public:
    virtual ~FeatureExtracting() = 0;

  protected:
    FeatureExtracting() = default;
    FeatureExtracting(const FeatureExtracting&) = default;
    FeatureExtracting& operator=(const FeatureExtracting&) = default;
};

inline FeatureExtracting::~FeatureExtracting() = default;

}  // namespace auralith
