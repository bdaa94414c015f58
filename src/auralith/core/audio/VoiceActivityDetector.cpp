#include "auralith/core/audio/VoiceActivityDetector.hpp"

#include <algorithm>
#include <cmath>

namespace auralith {

std::int64_t VoiceActivityDetector::frameCount(std::int64_t sampleCount) const {
    if (frameLengthSamples_ <= 0 || sampleCount <= 0) return 0;
    return static_cast<std::int64_t>(
        std::ceil(static_cast<double>(sampleCount) / static_cast<double>(frameLengthSamples_)));
}

std::vector<bool> VoiceActivityDetector::voiceActivityAsync(
    const std::vector<float>& waveform) const {
    return voiceActivity(waveform);
}

std::vector<VoiceActivityDetector::IndexRange> VoiceActivityDetector::calculateActiveChunks(
    const std::vector<float>& waveform) const {
    const auto activity = voiceActivity(waveform);
    const auto count = static_cast<std::int64_t>(waveform.size());
    std::vector<IndexRange> ranges;
    bool previousVoiced = false;
    for (std::size_t i = 0; i < activity.size(); ++i) {
        if (!activity[i]) {
            previousVoiced = false;
            continue;
        }
        const std::int64_t start = static_cast<std::int64_t>(i) * frameLengthSamples_;
        const std::int64_t end = std::min(count, start + frameLengthSamples_);
        if (previousVoiced)
            ranges.back().endIndex = end;
        else
            ranges.push_back({start, end});
        previousVoiced = true;
    }
    return ranges;
}

std::int64_t VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(std::int64_t index) const {
    return index * frameLengthSamples_;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(std::int64_t index) const {
    return static_cast<float>(index * frameLengthSamples_) / static_cast<float>(sampleRate_);
}

std::optional<VoiceActivityDetector::IndexRange> VoiceActivityDetector::findLongestSilence(
    const std::vector<bool>& activity) const {
    std::optional<IndexRange> longest;
    const auto n = static_cast<std::int64_t>(activity.size());
    std::int64_t i = 0;
    while (i < n) {
        if (activity[static_cast<std::size_t>(i)]) {
            ++i;
            continue;
        }
        std::int64_t end = i + 1;
        while (end < n && !activity[static_cast<std::size_t>(end)]) ++end;
        if (!longest || end - i > longest->endIndex - longest->startIndex)
            longest = IndexRange{i, end};
        i = end;
    }
    return longest;
}

std::vector<float> VoiceActivityDetector::voiceActivityClipTimestamps(
    const std::vector<float>& waveform) const {
    std::vector<float> clips;
    for (const auto& [start, end] : calculateSeekTimestamps(waveform)) {
        clips.push_back(start);
        clips.push_back(end);
    }
    return clips;
}

std::vector<std::pair<std::int64_t, std::int64_t>>
VoiceActivityDetector::calculateNonSilentSeekClips(const std::vector<float>& waveform) const {
    std::vector<std::pair<std::int64_t, std::int64_t>> clips;
    for (const auto& range : calculateActiveChunks(waveform))
        clips.emplace_back(range.startIndex, range.endIndex);
    return clips;
}

std::vector<std::pair<float, float>> VoiceActivityDetector::calculateSeekTimestamps(
    const std::vector<float>& waveform) const {
    std::vector<std::pair<float, float>> times;
    const auto rate = static_cast<float>(sampleRate_);
    for (const auto& range : calculateActiveChunks(waveform))
        times.emplace_back(static_cast<float>(range.startIndex) / rate,
                           static_cast<float>(range.endIndex) / rate);
    return times;
}

}  // namespace auralith
