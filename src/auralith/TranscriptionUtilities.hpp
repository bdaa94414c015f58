#pragma once
// Operations on finished results: moving segment times by an offset, display
// lines, the common start of two word sequences, and merging several results
// into one. Stateless; safe from any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/TranscriptionResult.hpp"
#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/WordTiming.hpp"

namespace auralith {

struct TranscriptionUtilities {
    TranscriptionUtilities() = delete;

    // seek grows by trunc(seekTime × 16000) in single precision, held at the
    // ends of the integer range (a non-finite product adds nothing); start,
    // end and every word's times grow by seekTime.
    static TranscriptionSegment updateSegmentTimingsSeekTime(const TranscriptionSegment& segment,
                                                             float seekTime);
    // seek grows by the index (saturating); the times by index / 16000 as a float.
    static TranscriptionSegment updateSegmentTimingsSeekOffsetIndex(
        const TranscriptionSegment& segment, std::int64_t seekOffsetIndex);

    // The text of each segment, or "[start --> end] text" with two-decimal seconds.
    static std::vector<std::string> formatSegments(
        const std::vector<TranscriptionSegment>& segments, bool withTimestamps);

    // The leading pairs whose normalized word texts are equal, taken from the
    // second list (so with its times).
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                           const std::vector<WordTiming>& second);
    // The second list after that common prefix.
    static std::vector<WordTiming> findLongestDifferentSuffix(
        const std::vector<WordTiming>& first, const std::vector<WordTiming>& second);

    // One result from many: the confirmed words' text when given, else the
    // results' texts joined by " "; the present results' segments, each with
    // id = result position + segment position (ids may repeat); the first
    // language or "en"; timings summed, or min/max where they are points in
    // time or load times; no seekTime.
    static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
        const std::vector<std::shared_ptr<TranscriptionResult>>& results,
        const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

}  // namespace auralith
