#pragma once
// The base of voice-activity detectors: finds the stretches of an audio array
// that hold speech, so that long audio can be cut at silences before it is
// transcribed. A configuration may supply one for voice-activity chunking
// (AuralithConfig::voiceActivityDetector).
//
// A detector labels fixed frames: frame i starts at sample i × frameLengthSamples
// and reaches frameOverlapSamples past its step. Detectors are immutable, so
// one may serve several threads at once.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace auralith {

class VoiceActivityDetector {
  public:
    // A range of sample or frame indices, end exclusive.
    struct IndexRange {
        std::int64_t startIndex = 0;
        std::int64_t endIndex = 0;
        friend bool operator==(const IndexRange&, const IndexRange&) = default;
    };

    virtual ~VoiceActivityDetector() = default;

    std::int64_t sampleRate() const { return sampleRate_; }
    std::int64_t frameLengthSamples() const { return frameLengthSamples_; }
    std::int64_t frameOverlapSamples() const { return frameOverlapSamples_; }

    // One entry per frame, true where the frame is voiced.
    virtual std::vector<bool> voiceActivity(const std::vector<float>& waveform) const = 0;
    // The same labels; kept for callers that treat detection as a task of its
    // own. It adds no suspension and no error of its own.
    virtual std::vector<bool> voiceActivityAsync(const std::vector<float>& waveform) const;

    // Sample ranges of the runs of voiced frames. A range ends at its last
    // frame's step boundary (overlap not included) or at the waveform's end.
    virtual std::vector<IndexRange> calculateActiveChunks(const std::vector<float>& waveform) const;

    virtual std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t index) const;
    virtual float voiceActivityIndexToSeconds(std::int64_t index) const;

    // The longest run of silent frames, end exclusive; of equally long runs the
    // earliest. Absent when no frame is silent.
    virtual std::optional<IndexRange> findLongestSilence(const std::vector<bool>& activity) const;

    // The voiced stretches in seconds, flattened to start, end, start, end...
    // (the form of DecodingOptions::clipTimestamps).
    virtual std::vector<float> voiceActivityClipTimestamps(
        const std::vector<float>& waveform) const;
    // The voiced stretches as (start, end) sample pairs.
    virtual std::vector<std::pair<std::int64_t, std::int64_t>> calculateNonSilentSeekClips(
        const std::vector<float>& waveform) const;
    // The voiced stretches as (start, end) pairs in seconds.
    virtual std::vector<std::pair<float, float>> calculateSeekTimestamps(
        const std::vector<float>& waveform) const;

  protected:
    // Stored as given; a frame length of 0 or less makes a detector that finds
    // no frames at all.
    VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples,
                          std::int64_t frameOverlapSamples = 0)
        : sampleRate_(sampleRate),
          frameLengthSamples_(frameLengthSamples),
          frameOverlapSamples_(frameOverlapSamples) {}
    VoiceActivityDetector(const VoiceActivityDetector&) = default;
    VoiceActivityDetector& operator=(const VoiceActivityDetector&) = delete;

    // The number of frames that cover `sampleCount` samples: the last one may
    // be short. 0 when the frame length is not positive.
    std::int64_t frameCount(std::int64_t sampleCount) const;

  private:
    std::int64_t sampleRate_;
    std::int64_t frameLengthSamples_;
    std::int64_t frameOverlapSamples_;
};

}  // namespace auralith
