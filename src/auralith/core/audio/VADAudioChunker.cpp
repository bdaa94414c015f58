#include "auralith/core/audio/VADAudioChunker.hpp"

#include <algorithm>
#include <cstdio>

#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"

namespace auralith {

namespace {

constexpr float kSampleRate = 16000.0f;

std::string seconds(std::int64_t sample) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f",
                  static_cast<double>(static_cast<float>(sample) / kSampleRate));
    return text;
}

}  // namespace

VADAudioChunker::VADAudioChunker(std::int64_t windowPadding,
                                 std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding_(windowPadding),
      vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>(16000, 1600, 0, 0.02f)) {}

std::int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(const std::vector<float>& audioArray,
                                                            std::int64_t startIndex,
                                                            std::int64_t endIndex) const {
    const std::int64_t mid = startIndex + (endIndex - startIndex) / 2;
    const std::vector<float> secondHalf(audioArray.begin() + mid, audioArray.begin() + endIndex);
    const auto silence = vad_->findLongestSilence(vad_->voiceActivity(secondHalf));
    if (!silence) return endIndex;
    const std::int64_t middleFrame =
        silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
    // A detector that reports more frames than the half holds cannot move the
    // cut past the window.
    return std::min(endIndex, mid + middleFrame * vad_->frameLengthSamples());
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(
    const std::vector<float>& audioArray, std::int64_t maxChunkLength,
    const std::optional<DecodingOptions>& decodeOptions) const {
    const auto count = static_cast<std::int64_t>(audioArray.size());
    if (count <= maxChunkLength) return {AudioChunk{0, {audioArray.begin(), audioArray.end()}}};
    if (maxChunkLength < 1)
        throw WhisperError::audioProcessingFailed("maxChunkLength must be at least 1");

    const auto options = decodeOptions ? *decodeOptions : DecodingOptions::defaultSet();
    std::vector<AudioChunk> chunks;
    for (const auto& [clipStart, clipEnd] : options.prepareSeekClips(count)) {
        // Never read past the array, however far the clip reaches.
        const std::int64_t end = std::min(clipEnd, count);
        std::int64_t start = clipStart;
        if (start < clipEnd - windowPadding_ && (start >= count || start < 0))
            throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
        while (start < end - windowPadding_) {
            const std::int64_t windowEnd = start + maxChunkLength;
            const std::int64_t split =
                windowEnd < end ? splitOnMiddleOfLongestSilence(audioArray, start, windowEnd) : end;
            if (split <= start) break;
            Logging::debug("Found chunk from " + seconds(start) + " to " + seconds(split));
            chunks.push_back(
                AudioChunk{start, {audioArray.begin() + start, audioArray.begin() + split}});
            start = split;
        }
    }
    return chunks;
}

}  // namespace auralith
