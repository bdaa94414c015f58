#pragma once
// Cuts audio longer than one window into chunks no longer than a maximum,
// each cut placed in the middle of the longest silence of the second half of
// its window, so that no word is split. Immutable: one chunker may serve
// several arrays at once.

#include <cstdint>
#include <memory>

#include "auralith/core/audio/AudioChunking.hpp"
#include "auralith/core/audio/VoiceActivityDetector.hpp"

namespace auralith {

class VADAudioChunker : public AudioChunking {
  public:
    // A missing detector is replaced by the default EnergyVAD (16 kHz, frames
    // of 1600 samples, no overlap, threshold 0.02).
    explicit VADAudioChunker(std::int64_t windowPadding = 16000,
                             std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

    // An array of at most `maxChunkLength` samples is one chunk, untouched.
    // Otherwise each seek clip of the options (the whole array without them)
    // is cut in turn; a final remainder of a clip no longer than the window
    // padding is not returned. Clip ends beyond the array are taken as the
    // array's end. Throws WhisperError::audioProcessingFailed "startIndex is
    // outside the buffer size" for a clip that starts outside the array and
    // asks for more than the padding, and for a maximum length below 1.
    std::vector<AudioChunk> chunkAll(
        const std::vector<float>& audioArray, std::int64_t maxChunkLength,
        const std::optional<DecodingOptions>& decodeOptions) const override;

    std::int64_t windowPadding() const { return windowPadding_; }
    const VoiceActivityDetector& vad() const { return *vad_; }

  private:
    // The sample index in (startIndex, endIndex] where the window is cut.
    std::int64_t splitOnMiddleOfLongestSilence(const std::vector<float>& audioArray,
                                               std::int64_t startIndex,
                                               std::int64_t endIndex) const;

    std::int64_t windowPadding_;
    std::shared_ptr<const VoiceActivityDetector> vad_;
};

}  // namespace auralith
