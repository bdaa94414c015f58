#include "auralith/core/text/SegmentSeeker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/NumberConversion.hpp"
#include "auralith/utilities/StringExtensions.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/MLMultiArrayExtensions.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace auralith {

namespace {

using TokenLogProbs = std::map<std::int64_t, float>;

// One timestamp token step, and one column of the alignment weights.
constexpr float kSecondsPerTimeToken = 0.02f;
// Columns of a full 30 s window's alignment weights.
constexpr float kFullWindowFrames = 1500.0f;
// Word timings are placed on the audio's timeline at this rate, whatever the
// rate of the window.
constexpr float kWordTimingSampleRate = 16000.0f;
constexpr float kMaxMedianWordDuration = 0.7f;

constexpr std::array<std::string_view, 6> kSentenceEndMarks = {".",      "\u3002", "!",
                                                               "\uFF01", "?",      "\uFF1F"};

bool isSentenceEndMark(const std::string& word) {
    return std::find(kSentenceEndMarks.begin(), kSentenceEndMarks.end(), word) !=
           kSentenceEndMarks.end();
}

// Seconds of a timestamp token after the window start, computed in single
// precision as the stored times always were.
float timestampSeconds(std::int64_t token, std::int64_t timeToken) {
    return static_cast<float>(token - timeToken) * kSecondsPerTimeToken;
}

bool firstScalarIsWhiteSpace(const std::string& word) {
    if (word.empty()) return false;
    std::size_t i = 0;
    return vortil::unicode::isWhiteSpace(vortil::unicode::nextScalar(word, i));
}

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

WordTiming joined(const WordTiming& head, const WordTiming& tail, const WordTiming& timesFrom) {
    WordTiming merged = timesFrom;
    merged.word = head.word + tail.word;
    merged.tokens = head.tokens;
    merged.tokens.insert(merged.tokens.end(), tail.tokens.begin(), tail.tokens.end());
    return merged;
}

}  // namespace

SegmentSeeking::SeekAndSegments SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& decodingResult, const DecodingOptions& options,
    std::int64_t allSegmentsCount, std::int64_t currentSeek, std::int64_t segmentSize,
    std::int64_t sampleRate, std::int64_t timeToken, std::int64_t /*specialToken*/,
    const WhisperTokenizer& tokenizer) const {
    // Confidence in the text overrides the no-speech verdict.
    if (options.noSpeechThreshold && decodingResult.noSpeechProb > *options.noSpeechThreshold) {
        const bool confident =
            options.logProbThreshold && decodingResult.avgLogProb > *options.logProbThreshold;
        if (!confident) return {currentSeek + segmentSize, std::nullopt};
    }

    const auto& tokens = decodingResult.tokens;
    const std::size_t count = tokens.size();
    const float rate = static_cast<float>(sampleRate);
    const float timeOffset = static_cast<float>(currentSeek) / rate;
    const std::int64_t specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;

    std::vector<bool> isTimestamp(count);
    for (std::size_t k = 0; k < count; ++k) isTimestamp[k] = tokens[k] >= timeToken;

    bool singleTimestampEnding = false;
    bool noTimestampEnding = false;
    if (count >= 3) {
        const bool a = isTimestamp[count - 3], b = isTimestamp[count - 2],
                   c = isTimestamp[count - 1];
        singleTimestampEnding = !a && b && !c;
        noTimestampEnding = !a && !b && !c;
    }

    std::vector<std::size_t> cuts;
    bool previous = false;
    for (std::size_t k = 0; k < count; ++k) {
        if (previous && isTimestamp[k]) cuts.push_back(k);
        previous = isTimestamp[k];
    }

    auto logProbsOf = [&](std::size_t begin, std::size_t end) {
        std::vector<TokenLogProbs> slice;
        slice.reserve(end - begin);
        for (std::size_t k = begin; k < end; ++k)
            slice.push_back(k < decodingResult.tokenLogProbs.size()
                                ? decodingResult.tokenLogProbs[k]
                                : TokenLogProbs{});
        return slice;
    };
    auto textOf = [&](const std::vector<std::int64_t>& slice) {
        if (!options.skipSpecialTokens) return tokenizer.decode(slice);
        std::vector<std::int64_t> textTokens;
        for (auto token : slice)
            if (token < specialTokenBegin) textTokens.push_back(token);
        return tokenizer.decode(textTokens);
    };

    std::vector<TranscriptionSegment> segments;
    auto addSegment = [&](std::size_t begin, std::size_t end, float start, float stop) {
        std::vector<std::int64_t> slice(tokens.begin() + static_cast<std::ptrdiff_t>(begin),
                                        tokens.begin() + static_cast<std::ptrdiff_t>(end));
        std::string text = textOf(slice);
        segments.emplace_back(allSegmentsCount + static_cast<std::int64_t>(segments.size()),
                              currentSeek, start, stop, std::move(text), std::move(slice),
                              logProbsOf(begin, end), decodingResult.temperature,
                              decodingResult.avgLogProb, decodingResult.compressionRatio,
                              decodingResult.noSpeechProb, std::nullopt);
    };

    if (!cuts.empty()) {
        if (singleTimestampEnding) {
            std::size_t lastTimestamp = count;
            for (std::size_t k = count; k-- > 0;)
                if (isTimestamp[k]) {
                    lastTimestamp = k;
                    break;
                }
            cuts.push_back(lastTimestamp + 1);
        } else if (noTimestampEnding) {
            cuts.push_back(count);
        }

        std::size_t sliceStart = 0;
        for (std::size_t cut : cuts) {
            std::optional<std::int64_t> first, last;
            for (std::size_t k = sliceStart; k < cut; ++k)
                if (isTimestamp[k]) {
                    if (!first) first = tokens[k];
                    last = tokens[k];
                }
            const float start =
                first ? timeOffset + timestampSeconds(*first, timeToken) : timeOffset;
            const float end = last ? timeOffset + timestampSeconds(*last, timeToken) : timeOffset;
            addSegment(sliceStart, cut, start, end);
            sliceStart = cut;
        }

        if (noTimestampEnding) return {currentSeek + segmentSize, std::move(segments)};
        const std::size_t seekIndex = singleTimestampEnding ? sliceStart - 1 : sliceStart;
        const float advance = timestampSeconds(tokens[seekIndex], timeToken) * rate;
        return {saturatingAdd(currentSeek, truncatedToInt64(advance)), std::move(segments)};
    }

    // No pair of timestamps: the whole window is one segment. "<|0.00|>" alone
    // does not set its end.
    float duration = static_cast<float>(segmentSize) / rate;
    for (std::size_t k = count; k-- > 0;)
        if (tokens[k] > timeToken) {
            duration = timestampSeconds(tokens[k], timeToken);
            break;
        }
    addSegment(0, count, timeOffset, timeOffset + duration);
    return {currentSeek + segmentSize, std::move(segments)};
}

SegmentSeeker::AlignmentPath SegmentSeeker::dynamicTimeWarping(
    const platform::ml::MLMultiArray& matrix) const {
    const auto& shape = matrix.shape();
    if (shape.size() != 2) throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    const std::int64_t n = shape[0], m = shape[1];
    const std::size_t rows = static_cast<std::size_t>(n) + 1,
                      columns = static_cast<std::size_t>(m) + 1;

    std::vector<double> cost(rows * columns, std::numeric_limits<double>::infinity());
    std::vector<std::vector<int>> trace(rows, std::vector<int>(columns, -1));
    cost[0] = 0;
    for (std::size_t j = 1; j < columns; ++j) trace[0][j] = 2;
    for (std::size_t i = 1; i < rows; ++i) trace[i][0] = 1;

    for (std::size_t i = 1; i < rows; ++i) {
        for (std::size_t j = 1; j < columns; ++j) {
            const double x = matrix.doubleValue(
                static_cast<std::int64_t>((i - 1) * static_cast<std::size_t>(m) + (j - 1)));
            const auto [c, t] =
                minCostAndTrace(cost[(i - 1) * columns + (j - 1)], cost[(i - 1) * columns + j],
                                cost[i * columns + (j - 1)], x);
            cost[i * columns + j] = c;
            trace[i][j] = t;
        }
    }
    return backtrace(trace);
}

std::pair<double, int> SegmentSeeker::minCostAndTrace(double costDiagonal, double costUp,
                                                      double costLeft, double matrixValue) const {
    const double c0 = costDiagonal - matrixValue;
    const double c1 = costUp - matrixValue;
    const double c2 = costLeft - matrixValue;
    if (c0 < c1 && c0 < c2) return {c0, 0};
    if (c1 < c0 && c1 < c2) return {c1, 1};
    return {c2, 2};
}

SegmentSeeker::AlignmentPath SegmentSeeker::backtrace(
    const std::vector<std::vector<int>>& traceMatrix) const {
    AlignmentPath path;
    if (traceMatrix.empty() || traceMatrix[0].empty()) return path;
    auto i = static_cast<std::int64_t>(traceMatrix.size()) - 1;
    auto j = static_cast<std::int64_t>(traceMatrix[0].size()) - 1;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(i - 1);
        path.timeIndices.push_back(j - 1);
        // A hand-made matrix may be ragged or hold codes of its own; the walk
        // ends there instead of reading past a row or never ending.
        const auto& row = traceMatrix[static_cast<std::size_t>(i)];
        const int code =
            j < static_cast<std::int64_t>(row.size()) ? row[static_cast<std::size_t>(j)] : -1;
        const bool up = code == 0 || code == 1;
        const bool left = code == 0 || code == 2;
        if ((!up && !left) || (up && i == 0) || (left && j == 0)) break;
        if (up) --i;
        if (left) --j;
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         std::string_view prepended,
                                                         std::string_view appended) const {
    if (alignment.empty()) return {};

    // Opening marks. A mark that follows another mark joins the entry already
    // built for it, so a run of marks stays whole before its word.
    std::vector<WordTiming> withPrepended;
    if (!contains(prepended, trimmingWhitespace(alignment[0].word)))
        withPrepended.push_back(alignment[0]);
    for (std::size_t i = 1; i < alignment.size(); ++i) {
        const auto& previous = alignment[i - 1];
        const auto& current = alignment[i];
        if (firstScalarIsWhiteSpace(previous.word) &&
            contains(prepended, trimmingWhitespace(previous.word))) {
            if (withPrepended.empty())
                withPrepended.push_back(joined(previous, current, current));
            else
                withPrepended.back() = joined(withPrepended.back(), current, current);
        } else {
            withPrepended.push_back(current);
        }
    }
    if (withPrepended.empty()) return {};

    // Closing marks join the entry built so far, keeping that entry's times,
    // so "Hello" "," "!" becomes one "Hello,!" and no word is lost.
    std::vector<WordTiming> withAppended{withPrepended[0]};
    for (std::size_t i = 1; i < withPrepended.size(); ++i) {
        const auto& previous = withPrepended[i - 1];
        const auto& current = withPrepended[i];
        const bool previousEndsWithSpace = !previous.word.empty() && previous.word.back() == ' ';
        if (!previousEndsWithSpace && contains(appended, trimmingWhitespace(current.word))) {
            withAppended.back() = joined(withAppended.back(), current, withAppended.back());
        } else {
            withAppended.push_back(current);
        }
    }

    std::vector<WordTiming> merged;
    for (auto& word : withAppended) {
        if (word.word.empty() || contains(appended, word.word) || contains(prepended, word.word))
            continue;
        merged.push_back(std::move(word));
    }
    return merged;
}

std::vector<WordTiming> SegmentSeeker::findAlignment(
    const std::vector<std::int64_t>& wordTokenIds,
    const platform::ml::MLMultiArray& alignmentWeights, const std::vector<float>& logProbs,
    const WhisperTokenizer& tokenizer,
    const std::optional<TranscriptionTimings>& /*timings*/) const {
    const auto path = dynamicTimeWarping(alignmentWeights);
    const auto split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() < 2) return {};

    std::vector<float> jumpTimes;
    if (!path.textIndices.empty()) {
        std::int64_t lastText = path.textIndices.front();
        for (std::size_t s = 0; s < path.textIndices.size(); ++s) {
            if (path.textIndices[s] != lastText) {
                jumpTimes.push_back(static_cast<float>(path.timeIndices[s]) * kSecondsPerTimeToken);
                lastText = path.textIndices[s];
            }
        }
    }
    std::vector<float> startTimes{0.0f};
    startTimes.insert(startTimes.end(), jumpTimes.begin(), jumpTimes.end());
    std::vector<float> endTimes = jumpTimes;
    endTimes.push_back(path.timeIndices.empty()
                           ? kFullWindowFrames * kSecondsPerTimeToken
                           : static_cast<float>(path.timeIndices.back()) * kSecondsPerTimeToken);

    // Token lists that do not match the weights' rows are clamped to the path,
    // never read past it.
    auto at = [](const std::vector<float>& times, std::size_t index) {
        return times[std::min(index, times.size() - 1)];
    };

    std::vector<WordTiming> words;
    words.reserve(split.words.size());
    std::size_t a = 0;
    for (std::size_t w = 0; w < split.words.size(); ++w) {
        const auto& tokens =
            w < split.wordTokens.size() ? split.wordTokens[w] : std::vector<std::int64_t>{};
        const std::size_t n = tokens.size();
        float sum = 0;
        for (std::size_t k = a; k < a + n; ++k) sum += k < logProbs.size() ? logProbs[k] : 0.0f;
        const float mean = n > 0 ? sum / static_cast<float>(n) : 0.0f;
        const float start = at(startTimes, a);
        const float end = at(endTimes, n > 0 ? a + n - 1 : a);
        words.emplace_back(split.words[w], tokens, start, end, std::exp(mean));
        a += n;
    }
    return words;
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments,
    const platform::ml::MLMultiArray& alignmentWeights, const WhisperTokenizer& tokenizer,
    std::int64_t seek, std::int64_t /*segmentSize*/, std::string_view prependPunctuations,
    std::string_view appendPunctuations, float lastSpeechTimestamp,
    const DecodingOptions& /*options*/, const std::optional<TranscriptionTimings>& timings) const {
    std::vector<std::int64_t> wordTokenIds;
    std::vector<std::int64_t> rows;
    std::vector<float> logProbs;
    for (const auto& segment : segments) {
        for (std::size_t t = 0; t < segment.tokens.size(); ++t) {
            const auto token = segment.tokens[t];
            rows.push_back(static_cast<std::int64_t>(wordTokenIds.size()));
            wordTokenIds.push_back(token);
            // One log-probability per token, whatever the maps hold: a gap
            // would shift every later word's probability onto the wrong word.
            float logProb = 0.0f;
            if (t < segment.tokenLogProbs.size()) {
                const auto found = segment.tokenLogProbs[t].find(token);
                if (found != segment.tokenLogProbs[t].end()) logProb = found->second;
            }
            logProbs.push_back(logProb);
        }
    }

    const auto& shape = alignmentWeights.shape();
    if (shape.empty() || shape.back() <= 0)
        throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
    const std::int64_t columns = shape.back();

    std::vector<WordTiming> alignment;
    WordDurationConstraints constraints;
    if (!rows.empty()) {
        const auto dataType = alignmentWeights.dataType();
        auto matrix = vortil::makeMLMultiArray({static_cast<std::int64_t>(rows.size()), columns},
                                               dataType, platform::ml::Float16(0.0f));
        const std::size_t rowBytes =
            static_cast<std::size_t>(columns) * platform::ml::elementSize(dataType);
        const std::int64_t sourceRows = alignmentWeights.count() / columns;
        const auto* source = static_cast<const unsigned char*>(alignmentWeights.dataPointer());
        auto* target = static_cast<unsigned char*>(matrix->dataPointer());
        // Rows the weights do not have (more tokens than cache positions) stay zero.
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i] < sourceRows)
                std::memcpy(target + i * rowBytes,
                            source + static_cast<std::size_t>(rows[i]) * rowBytes, rowBytes);
        Logging::debug("Alignment weights shape: " + platform::ml::shapeText(matrix->shape()));

        alignment = findAlignment(wordTokenIds, *matrix, logProbs, tokenizer, timings);
        constraints = calculateWordDurationConstraints(alignment);
        alignment = truncateLongWordsAtSentenceBoundaries(std::move(alignment), constraints.max);
        if (!alignment.empty())
            alignment = mergePunctuations(alignment, prependPunctuations, appendPunctuations);
    }
    return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp,
                                         constraints.median, constraints.max, tokenizer);
}

SegmentSeeker::WordDurationConstraints SegmentSeeker::calculateWordDurationConstraints(
    const std::vector<WordTiming>& alignment) const {
    std::vector<float> durations;
    for (const auto& word : alignment) {
        const float duration = word.end - word.start;
        if (duration > 0) durations.push_back(duration);
    }
    float median = 0;
    if (!durations.empty()) {
        std::stable_sort(durations.begin(), durations.end());
        median = durations[durations.size() / 2];
    }
    median = std::min(median, kMaxMedianWordDuration);
    return {median, 2 * median};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(
    std::vector<WordTiming> alignment, float maxDuration) const {
    for (std::size_t i = 1; i < alignment.size(); ++i) {
        auto& word = alignment[i];
        if (word.end - word.start <= maxDuration) continue;
        if (isSentenceEndMark(word.word))
            word.end = word.start + maxDuration;
        else if (isSentenceEndMark(alignment[i - 1].word))
            word.start = word.end - maxDuration;
    }
    return alignment;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment,
    std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration,
    float maxDuration, const WhisperTokenizer& tokenizer) const {
    const std::int64_t specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    const float seekTime = static_cast<float>(seek) / kWordTimingSampleRate;
    const float median = constrainedMedianDuration;
    std::size_t wordIndex = 0;
    float lastSpeech = lastSpeechTimestamp;

    for (std::size_t si = 0; si < segments.size(); ++si) {
        auto& segment = segments[si];
        const auto textTokenCount = static_cast<std::size_t>(
            std::count_if(segment.tokens.begin(), segment.tokens.end(),
                          [&](std::int64_t t) { return t < specialTokenBegin; }));
        std::size_t savedTokens = 0;
        std::vector<WordTiming> words;

        while (wordIndex < mergedAlignment.size() && savedTokens < textTokenCount) {
            const auto& entry = mergedAlignment[wordIndex++];
            std::vector<std::int64_t> textTokens;
            for (auto t : entry.tokens)
                if (t < specialTokenBegin) textTokens.push_back(t);
            if (textTokens.empty()) continue;
            std::string text = textTokens.size() == entry.tokens.size()
                                   ? entry.word
                                   : tokenizer.decode(textTokens);
            float start = vortil::rounded(seekTime + entry.start, 2);
            const float end = vortil::rounded(seekTime + entry.end, 2);
            if (end - start < 0.25f * median) {
                std::optional<float> earlierEnd;
                if (!words.empty())
                    earlierEnd = words.back().end;
                else if (si > 0)
                    earlierEnd = segments[si - 1].end;
                if (earlierEnd && *earlierEnd < start)
                    start =
                        vortil::rounded(start - std::min(0.5f * median, start - *earlierEnd), 2);
            }
            const float probability = vortil::rounded(entry.probability, 2);
            savedTokens += textTokens.size();
            words.emplace_back(std::move(text), std::move(textTokens), start, end, probability);
        }

        if (!words.empty()) {
            auto& first = words.front();
            const float gap = first.end - lastSpeech;
            const bool longFirstWord =
                gap > 4 * median &&
                (first.end - first.start > maxDuration ||
                 (words.size() > 1 && words[1].end - first.start > 2 * maxDuration));
            if (longFirstWord) {
                if (words.size() > 1 && words[1].end - words[1].start > maxDuration) {
                    const float boundary = std::max(words[1].end / 2, words[1].end - maxDuration);
                    first.end = boundary;
                    words[1].start = boundary;
                }
                first.start = std::max(first.end - maxDuration, lastSpeech);
            }

            if (segment.start < first.end && first.start < segment.start - 0.5f)
                first.start = std::max(0.0f, std::min(first.end - median, segment.start));
            else
                segment.start = first.start;

            auto& last = words.back();
            if (last.start < segment.end && segment.end + 0.5f < last.end)
                last.end = std::max(last.start + median, segment.end);
            else
                segment.end = last.end;
            lastSpeech = segment.end;
        }
        segment.words = std::move(words);
    }
    return segments;
}

}  // namespace auralith
