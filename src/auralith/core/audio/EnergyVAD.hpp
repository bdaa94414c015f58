#pragma once
// The pipeline's voice-activity detector: a frame is voiced when the root mean
// square of its samples is above a threshold.

#include <cstdint>
#include <vector>

#include "auralith/core/audio/VoiceActivityDetector.hpp"

namespace auralith {

class EnergyVAD : public VoiceActivityDetector {
  public:
    // Lengths in samples, stored as given.
    EnergyVAD(std::int64_t sampleRate = 16000, std::int64_t frameLengthSamples = 1600,
              std::int64_t frameOverlapSamples = 0, float energyThreshold = 0.02f)
        : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples),
          energyThreshold_(energyThreshold) {}

    // Lengths in seconds, each converted as Int(seconds × Float(sampleRate)),
    // truncated toward zero.
    static EnergyVAD fromSeconds(std::int64_t sampleRate, float frameLength, float frameOverlap,
                                 float energyThreshold);

    float energyThreshold() const { return energyThreshold_; }

    // ceil(count / frame length) frames; a frame is voiced when its RMS is
    // strictly above the threshold. No frames for an empty waveform or a
    // frame length below 1.
    std::vector<bool> voiceActivity(const std::vector<float>& waveform) const override;

    // Frame i covers [i*L, i*L + L + overlap), cut at the end of the samples,
    // and is voiced when its RMS is strictly above the threshold; a frame
    // starting at or beyond the end is silent. Empty for a negative count.
    static std::vector<bool> voiceActivityInChunks(const std::vector<float>& samples,
                                                   std::int64_t chunkCount,
                                                   std::int64_t frameLengthSamples,
                                                   std::int64_t frameOverlapSamples,
                                                   float energyThreshold);

  private:
    float energyThreshold_;
};

}  // namespace auralith
