#pragma once
// The pipeline's segment seeker: cuts a window's tokens into segments at pairs
// of consecutive timestamp tokens, decides where the next window starts, and
// builds word timings by dynamic time warping over the decoder's alignment
// weights. Stateless; every step is virtual so a subclass may replace one.
//
// Times: a timestamp token t >= timeToken stands for (t - timeToken) x 0.02 s
// from the window start; one column of the alignment weights is 0.02 s too.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "auralith/core/WordTiming.hpp"
#include "auralith/core/text/SegmentSeeking.hpp"

namespace auralith {

class SegmentSeeker : public SegmentSeeking {
  public:
    // Token rows and audio-frame columns of a time-warping path, from its start.
    struct AlignmentPath {
        std::vector<std::int64_t> textIndices;
        std::vector<std::int64_t> timeIndices;
    };
    struct WordDurationConstraints {
        float median = 0;
        float max = 0;
    };

    SegmentSeeker() = default;

    // A silent window (no-speech probability over its threshold, unless the
    // average log-probability is over its own) gives (currentSeek +
    // segmentSize, none). Otherwise segments at every pair of consecutive
    // timestamps, or one segment for the whole window when there is no pair.
    // Never throws. A result with fewer log-probability maps than tokens gets
    // empty maps for the missing ones, so every segment keeps one per token.
    SeekAndSegments findSeekPointAndSegments(const DecodingResult& decodingResult,
                                             const DecodingOptions& options,
                                             std::int64_t allSegmentsCount,
                                             std::int64_t currentSeek, std::int64_t segmentSize,
                                             std::int64_t sampleRate, std::int64_t timeToken,
                                             std::int64_t specialToken,
                                             const WhisperTokenizer& tokenizer) const override;

    // The cheapest path through the negated weights of an N x M matrix from
    // (0, 0) to (N - 1, M - 1). Throws WhisperError::segmentingFailed with
    // "Invalid alignment matrix shape" unless the matrix has two dimensions.
    virtual AlignmentPath dynamicTimeWarping(const platform::ml::MLMultiArray& matrix) const;

    // One cell: diagonal (0) only when strictly cheapest, else up (1) when
    // strictly cheaper than both others, else left (2).
    virtual std::pair<double, int> minCostAndTrace(double costDiagonal, double costUp,
                                                   double costLeft, double matrixValue) const;

    // Walks the trace codes back from the last cell.
    virtual AlignmentPath backtrace(const std::vector<std::vector<int>>& traceMatrix) const;

    // Joins opening marks to the word after them and closing marks to the word
    // before them; a run of marks joins as a whole. Marks left on their own
    // are dropped.
    virtual std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment,
                                                      std::string_view prepended,
                                                      std::string_view appended) const;

    // Word timings, relative to the window start, for the tokens. logProbs
    // holds one log-probability per token. Fewer than two words give none.
    virtual std::vector<WordTiming> findAlignment(
        const std::vector<std::int64_t>& wordTokenIds,
        const platform::ml::MLMultiArray& alignmentWeights, const std::vector<float>& logProbs,
        const WhisperTokenizer& tokenizer,
        const std::optional<TranscriptionTimings>& timings) const;

    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments,
        const platform::ml::MLMultiArray& alignmentWeights, const WhisperTokenizer& tokenizer,
        std::int64_t seek, std::int64_t segmentSize, std::string_view prependPunctuations,
        std::string_view appendPunctuations, float lastSpeechTimestamp,
        const DecodingOptions& options,
        const std::optional<TranscriptionTimings>& timings) const override;

    // The median of the positive word durations (the upper middle one for an
    // even count; 0 when none), capped at 0.7 s, and twice that as the maximum.
    virtual WordDurationConstraints calculateWordDurationConstraints(
        const std::vector<WordTiming>& alignment) const;

    // Shortens a word longer than maxDuration when it is a sentence end mark
    // (its end moves) or follows one (its start moves). The first word stays.
    virtual std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(
        std::vector<WordTiming> alignment, float maxDuration) const;

    // Hands the words to the segments by text-token count, moves them onto the
    // whole audio's timeline (seek at 16 kHz), rounds times to 0.01 s, and
    // reconciles each segment's bounds with its first and last word.
    virtual std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
        std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment,
        std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration,
        float maxDuration, const WhisperTokenizer& tokenizer) const;
};

}  // namespace auralith
