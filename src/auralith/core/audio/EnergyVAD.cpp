#include "auralith/core/audio/EnergyVAD.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

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
    return voiceActivityInChunks(waveform, frames, frameLengthSamples(), frameOverlapSamples(),
                                 energyThreshold_);
}

std::vector<bool> EnergyVAD::voiceActivityInChunks(const std::vector<float>& samples,
                                                   std::int64_t chunkCount,
                                                   std::int64_t frameLengthSamples,
                                                   std::int64_t frameOverlapSamples,
                                                   float energyThreshold) {
    std::vector<bool> active;
    if (chunkCount <= 0) return active;
    active.reserve(std::size_t(chunkCount));
    const std::int64_t count = std::int64_t(samples.size());
    for (std::int64_t i = 0; i < chunkCount; ++i) {
        // Saturating arithmetic: a hostile length must not wrap into the array.
        const std::int64_t start = frameLengthSamples > 0 && i > count / frameLengthSamples
                                       ? count
                                       : i * frameLengthSamples;
        if (start < 0 || start >= count) {
            active.push_back(false);
            continue;
        }
        const std::int64_t span = std::max<std::int64_t>(frameLengthSamples, 0) +
                                  std::max<std::int64_t>(frameOverlapSamples, 0);
        const std::int64_t end = span > count - start ? count : start + span;
        double sum = 0;
        for (std::int64_t j = start; j < end; ++j)
            sum += double(samples[std::size_t(j)]) * double(samples[std::size_t(j)]);
        const float rms = end > start ? float(std::sqrt(sum / double(end - start))) : 0.0f;
        active.push_back(rms > energyThreshold);
    }
    return active;
}

}  // namespace auralith
