#include "auralith/TranscriptionUtilities.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "auralith/utilities/NumberConversion.hpp"
#include "auralith/utilities/StringExtensions.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace auralith {
namespace {

TranscriptionSegment shifted(const TranscriptionSegment& segment, std::int64_t seekDelta,
                             float seconds) {
    TranscriptionSegment out = segment;
    out.seek = saturatingAdd(segment.seek, seekDelta);
    out.start += seconds;
    out.end += seconds;
    if (out.words) {
        for (auto& word : *out.words) {
            word.start += seconds;
            word.end += seconds;
        }
    }
    return out;
}

// The comparison form of a word; canonically equivalent spellings meet in NFC.
std::string wordKey(const std::string& word) { return vortil::unicode::nfc(normalized(word)); }

std::size_t commonPrefixLength(const std::vector<WordTiming>& first,
                               const std::vector<WordTiming>& second) {
    const std::size_t limit = std::min(first.size(), second.size());
    std::size_t n = 0;
    while (n < limit && wordKey(first[n].word) == wordKey(second[n].word)) ++n;
    return n;
}

}  // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimingsSeekTime(
    const TranscriptionSegment& segment, float seekTime) {
    const float product = seekTime * 16000.0f;
    const std::int64_t delta = std::isfinite(product) ? truncatedToInt64(product) : 0;
    return shifted(segment, delta, seekTime);
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimingsSeekOffsetIndex(
    const TranscriptionSegment& segment, std::int64_t seekOffsetIndex) {
    return shifted(segment, seekOffsetIndex, static_cast<float>(seekOffsetIndex) / 16000.0f);
}

std::vector<std::string> TranscriptionUtilities::formatSegments(
    const std::vector<TranscriptionSegment>& segments, bool withTimestamps) {
    std::vector<std::string> lines;
    lines.reserve(segments.size());
    for (const auto& segment : segments) {
        if (!withTimestamps) {
            lines.push_back(segment.text);
            continue;
        }
        // Large enough for any float in %.2f (at most 39 integer digits).
        char stamp[112];
        std::snprintf(stamp, sizeof stamp, "[%.2f --> %.2f] ", static_cast<double>(segment.start),
                      static_cast<double>(segment.end));
        lines.push_back(stamp + segment.text);
    }
    return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(
    const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    const auto n = static_cast<std::ptrdiff_t>(commonPrefixLength(first, second));
    return {second.begin(), second.begin() + n};
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(
    const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    const auto n = static_cast<std::ptrdiff_t>(commonPrefixLength(first, second));
    return {second.begin() + n, second.end()};
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const auto& word : *confirmedWords) text += word.word;
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i > 0) text += ' ';
            if (results[i]) text += results[i]->text();
        }
    }

    std::vector<TranscriptionSegment> segments;
    std::vector<TranscriptionTimings> timings;
    std::optional<std::string> language;
    std::int64_t position = 0;
    for (const auto& result : results) {
        if (!result) continue;
        if (!language) language = result->language();
        std::int64_t index = 0;
        for (auto segment : result->segments()) {
            segment.id = position + index++;
            segments.push_back(std::move(segment));
        }
        timings.push_back(result->timings());
        ++position;
    }

    auto sum = [&](double TranscriptionTimings::*field) {
        double total = 0;
        for (const auto& t : timings) total += t.*field;
        return total;
    };
    auto least = [&](double TranscriptionTimings::*field) {
        if (timings.empty()) return 0.0;
        double value = timings.front().*field;
        for (const auto& t : timings) value = std::min(value, t.*field);
        return value;
    };
    auto most = [&](double TranscriptionTimings::*field) {
        if (timings.empty()) return 0.0;
        double value = timings.front().*field;
        for (const auto& t : timings) value = std::max(value, t.*field);
        return value;
    };

    using T = TranscriptionTimings;
    T merged;
    merged.pipelineStart = least(&T::pipelineStart);
    merged.firstTokenTime = least(&T::firstTokenTime);
    merged.inputAudioSeconds = sum(&T::inputAudioSeconds);
    for (auto field : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime,
                       &T::decoderLoadTime, &T::tokenizerLoadTime}) {
        merged.*field = most(field);
    }
    merged.encoderSpecializationTime = 0;
    merged.decoderSpecializationTime = 0;
    for (auto field : {&T::audioLoading,
                       &T::audioProcessing,
                       &T::logmels,
                       &T::encoding,
                       &T::decodingInit,
                       &T::decodingLoop,
                       &T::decodingPredictions,
                       &T::decodingFiltering,
                       &T::decodingSampling,
                       &T::decodingFallback,
                       &T::decodingWindowing,
                       &T::decodingKvCaching,
                       &T::decodingWordTimestamps,
                       &T::decodingNonPrediction,
                       &T::totalAudioProcessingRuns,
                       &T::totalLogmelRuns,
                       &T::totalEncodingRuns,
                       &T::totalDecodingLoops,
                       &T::totalKVUpdateRuns,
                       &T::totalTimestampAlignmentRuns,
                       &T::totalDecodingFallbacks,
                       &T::totalDecodingWindows}) {
        merged.*field = sum(field);
    }
    double latestEnd = 0;
    for (std::size_t i = 0; i < timings.size(); ++i) {
        const double end = timings[i].pipelineStart + timings[i].fullPipeline;
        latestEnd = i == 0 ? end : std::max(latestEnd, end);
    }
    merged.fullPipeline = std::min(sum(&T::fullPipeline), latestEnd - merged.pipelineStart);

    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
                                                 language.value_or("en"), merged, std::nullopt);
}

}  // namespace auralith
