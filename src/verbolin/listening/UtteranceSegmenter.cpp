#include "verbolin/listening/UtteranceSegmenter.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace verbolin {
namespace {

float rmsOf(const std::vector<float>& frame) {
    if (frame.empty()) return 0;
    float sum = 0;
    for (float x : frame) sum += x * x;
    return std::sqrt(sum / float(frame.size()));
}

}  // namespace

float UtteranceSegmenter::noiseFloor() const {
    if (noiseHistory.empty()) return config.absoluteFloor;
    // Only the element at count / 5 of the ascending order matters, so a
    // selection is enough; the history never holds NaN, so the order is total.
    std::vector<float> levels(noiseHistory.begin(), noiseHistory.end());
    auto nth = levels.begin() + std::ptrdiff_t(levels.size() / 5);
    std::nth_element(levels.begin(), nth, levels.end());
    return std::min(config.maxFloor, std::max(0.001f, *nth));
}

float UtteranceSegmenter::voiceThreshold() const {
    return std::max(config.absoluteFloor, config.noiseRatio * noiseFloor());
}

std::vector<UtteranceSegmenter::Event> UtteranceSegmenter::process(
    const std::vector<float>& frame) {
    const float rms = rmsOf(frame);
    lastRMS = rms;
    const float threshold = voiceThreshold();
    // A NaN level compares false, so such a frame counts as unvoiced; it is
    // kept out of the history, where it would poison every later floor.
    const bool voiced = rms > threshold;
    if (!voiced && !std::isnan(rms)) {
        const bool full = int64_t(noiseHistory.size()) >= config.noiseHistoryFrames;
        noiseHistory.push_back(rms);
        if (full) noiseHistory.pop_front();
    }

    if (isSpeaking) {
        current.insert(current.end(), frame.begin(), frame.end());
        if (voiced) {
            ++speechFrames;
            trailingSilence = 0;
        } else {
            ++trailingSilence;
        }
        const double duration = double(current.size()) / double(config.sampleRate);
        const bool ends = trailingSilence >= config.endSilenceFrames ||
                          duration >= config.maxUtteranceSeconds ||
                          (duration >= config.softCutSeconds && !voiced);
        if (ends) {
            std::vector<float> samples;
            if (speechFrames >= config.minSpeechFrames) samples = std::move(current);
            isSpeaking = false;
            speechFrames = 0;
            trailingSilence = 0;
            current.clear();
            std::vector<Event> out;
            out.push_back(Event::utteranceEnded(std::move(samples)));
            return out;
        }
        std::vector<Event> out;
        out.push_back(Event::speechContinuing(current));
        return out;
    }

    if (int64_t(preroll.size()) >= config.prerollFrames && !preroll.empty()) {
        // The oldest frame's storage takes the new one: listening to silence
        // takes no new audio buffer per frame.
        std::vector<float> reused = std::move(preroll.front());
        preroll.pop_front();
        reused.assign(frame.begin(), frame.end());
        preroll.push_back(std::move(reused));
    } else {
        preroll.push_back(frame);
        if (int64_t(preroll.size()) > config.prerollFrames) preroll.pop_front();
    }
    if (!voiced) return {};

    isSpeaking = true;
    speechFrames = 1;
    trailingSilence = 0;
    current.clear();
    for (const auto& f : preroll) current.insert(current.end(), f.begin(), f.end());
    preroll.clear();
    std::vector<Event> out;
    out.push_back(Event::speechStarted());
    out.push_back(Event::speechContinuing(current));
    return out;
}

}  // namespace verbolin
