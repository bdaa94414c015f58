#include "auralith/core/audio/EnergyVAD.hpp"

#include <cmath>

#include "auralith/core/audio/AudioProcessor.hpp"

namespace auralith {

namespace {

// Int(seconds × rate) in single precision; a product that is not a finite
// Int gives 0, which makes a detector without frames.
std::int64_t toSamples(float seconds, float rate) {
    const float product = seconds * rate;
    if (!std::isfinite(product) || std::abs(product) >= 9.2e18f) return 0;
    return static_cast<std::int64_t>(product);
}

}  // namespace

EnergyVAD EnergyVAD::fromSeconds(std::int64_t sampleRate, float frameLength, float frameOverlap,
                                 float energyThreshold) {
    const float rate = static_cast<float>(sampleRate);
    return EnergyVAD(sampleRate, toSamples(frameLength, rate), toSamples(frameOverlap, rate),
                     energyThreshold);
}

std::vector<bool> EnergyVAD::voiceActivity(const std::vector<float>& waveform) const {
    const auto frames = frameCount(static_cast<std::int64_t>(waveform.size()));
    if (frames == 0) return {};
    return AudioProcessor::calculateVoiceActivityInChunks(waveform, frames, frameLengthSamples(),
                                                          frameOverlapSamples(), energyThreshold_);
}

}  // namespace auralith
