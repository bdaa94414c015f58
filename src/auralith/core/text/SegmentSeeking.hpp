#pragma once
// A stage of the recognition pipeline. Cuts one window's decoded tokens into timed
// segments and finds where the next window starts, and aligns the tokens of a
// window's segments to the audio for word timings. The pipeline has its own
// implementation (SegmentSeeker); a configuration may supply another one in its
// place (AuralithConfig::segmentSeeker). Implementations hold no per-call state:
// one instance serves every window of every concurrent transcription.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/DecodingResult.hpp"
#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/TranscriptionTimings.hpp"
#include "auralith/core/WhisperTokenizer.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class SegmentSeeking {
  public:
    // The sample where the next window starts, and the window's segments, or
    // none when the window was skipped as silence.
    using SeekAndSegments =
        std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>>;

    virtual ~SegmentSeeking() = 0;

    // decodingResult: the window's decoding. allSegmentsCount: segments the
    // caller already holds (new ids continue from it). currentSeek: the
    // window's first sample in the whole audio; segmentSize: its length in
    // samples. timeToken: the id of "<|0.00|>". specialToken is accepted for
    // implementations that want it.
    virtual SeekAndSegments findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options,
        std::int64_t allSegmentsCount, std::int64_t currentSeek, std::int64_t segmentSize,
        std::int64_t sampleRate, std::int64_t timeToken, std::int64_t specialToken,
        const WhisperTokenizer& tokenizer) const = 0;

    // The segments with `words` filled from the window's alignment weights
    // (one row per token of the segments, taken in order; one column per
    // 0.02 s audio frame). seek is the window's first sample;
    // lastSpeechTimestamp the end of speech before the window, in seconds.
    // Throws WhisperError::segmentingFailed for weights of an unusable shape.
    virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments,
        const platform::ml::MLMultiArray& alignmentWeights, const WhisperTokenizer& tokenizer,
        std::int64_t seek, std::int64_t segmentSize, std::string_view prependPunctuations,
        std::string_view appendPunctuations, float lastSpeechTimestamp,
        const DecodingOptions& options,
        const std::optional<TranscriptionTimings>& timings) const = 0;

  protected:
    SegmentSeeking() = default;
    SegmentSeeking(const SegmentSeeking&) = default;
    SegmentSeeking& operator=(const SegmentSeeking&) = default;
};

inline SegmentSeeking::~SegmentSeeking() = default;

}  // namespace auralith
