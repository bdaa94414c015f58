// Segments and seek points from a window's tokens, and word timings from
// hand-built alignment matrices, over the real Whisper English tokenizer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "auralith/core/Constants.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/WhisperEnglishTokenizer.hpp"

namespace {

using auralith::DecodingOptions;
using auralith::DecodingResult;
using auralith::SegmentSeeker;
using auralith::TranscriptionSegment;
using auralith::WordTiming;
using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using Ids = std::vector<std::int64_t>;

const auralith::WhisperTokenizer& tokenizer() { return *testsupport::whisperEnglishTokenizer(); }
std::int64_t T() { return tokenizer().specialTokens().timeTokenBegin; }
std::int64_t EOT() { return tokenizer().specialTokens().endToken; }
std::int64_t ts(double seconds) { return T() + std::llround(seconds / 0.02); }
std::int64_t word(const std::string& text) { return testsupport::textToken(text); }

DecodingResult resultWith(Ids tokens) {
    DecodingResult result;
    for (auto t : tokens) result.tokenLogProbs.push_back({{t, -0.25f}});
    result.tokens = std::move(tokens);
    result.avgLogProb = -0.3f;
    result.temperature = 0.2f;
    result.compressionRatio = 1.5f;
    result.noSpeechProb = 0.1f;
    return result;
}

constexpr std::int64_t kSeek = 160000;  // the window starts at 10 s
constexpr std::int64_t kSize = 480000;

SegmentSeeker::SeekAndSegments seekSegments(const DecodingResult& result,
                                            const DecodingOptions& options =
                                                DecodingOptions::defaultSet(),
                                            std::int64_t allSegments = 0) {
    return SegmentSeeker().findSeekPointAndSegments(result, options, allSegments, kSeek, kSize,
                                                    16000, T(), tokenizer().specialTokens().specialTokenBegin,
                                                    tokenizer());
}

struct SegmentCase {
    const char* name;
    std::function<Ids()> tokens;
    // Per segment: start and end after the window start, and the token range.
    std::vector<std::tuple<float, float, std::size_t, std::size_t>> segments;
    std::int64_t advance;
};

TEST(SegmentSeekerTest, CutsAtTimestampPairsAndSeeksToTheLastTimestamp) {
    const auto a = [] { return word(" a"); };
    const SegmentCase cases[] = {
        {"single timestamp ending",
         [&] { return Ids{ts(0), a(), a(), ts(1), ts(1), a(), a(), ts(2.5), EOT()}; },
         {{0.0f, 1.0f, 0, 4}, {1.0f, 2.5f, 4, 8}},
         40000},
        {"no timestamp ending",
         [&] { return Ids{ts(0), a(), a(), ts(1), ts(1), a(), a(), EOT()}; },
         {{0.0f, 1.0f, 0, 4}, {1.0f, 1.0f, 4, 8}},
         kSize},
        {"pair at the end",
         [&] { return Ids{ts(0), a(), a(), ts(1), ts(1), a(), a(), ts(2.5), ts(2.5)}; },
         {{0.0f, 1.0f, 0, 4}, {1.0f, 2.5f, 4, 8}},
         40000},
        // 2.40 s in single precision is 38399.996 samples, truncated.
        {"other ending leaves the tail out", [&] { return Ids{ts(0), a(), ts(2), ts(2.4), a()}; },
         {{0.0f, 2.0f, 0, 3}},
         38399},
        {"no timestamps", [&] { return Ids{a(), a(), a()}; }, {{0.0f, 30.0f, 0, 3}}, kSize},
        {"one timestamp sets only the end", [&] { return Ids{a(), a(), ts(7.3), EOT()}; },
         {{0.0f, 7.3f, 0, 4}},
         kSize},
        {"<|0.00|> alone does not set the end", [&] { return Ids{ts(0), a(), a(), EOT()}; },
         {{0.0f, 30.0f, 0, 4}},
         kSize},
        {"too short for an ending", [&] { return Ids{a(), ts(1)}; }, {{0.0f, 1.0f, 0, 2}}, kSize},
        {"empty window", [] { return Ids{}; }, {{0.0f, 30.0f, 0, 0}}, kSize},
        // A model answering silence with "<|0.00|><|0.00|>" does not move the
        // window; the task has to.
        {"silence answered at 0.00", [&] { return Ids{ts(0), ts(0), EOT()}; },
         {{0.0f, 0.0f, 0, 1}},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = resultWith(c.tokens());
        const auto [seek, segments] = seekSegments(result);
        EXPECT_EQ(seek, kSeek + c.advance);
        ASSERT_TRUE(segments);
        ASSERT_EQ(segments->size(), c.segments.size());
        for (std::size_t i = 0; i < segments->size(); ++i) {
            const auto& s = (*segments)[i];
            const auto [start, end, from, to] = c.segments[i];
            EXPECT_FLOAT_EQ(s.start, 10.0f + start);
            EXPECT_FLOAT_EQ(s.end, 10.0f + end);
            EXPECT_EQ(s.tokens, Ids(result.tokens.begin() + from, result.tokens.begin() + to));
            EXPECT_EQ(s.tokenLogProbs.size(), s.tokens.size());
            EXPECT_EQ(s.id, static_cast<std::int64_t>(i));
            EXPECT_EQ(s.seek, kSeek);
            EXPECT_EQ(s.temperature, result.temperature);
            EXPECT_EQ(s.avgLogprob, result.avgLogProb);
            EXPECT_EQ(s.compressionRatio, result.compressionRatio);
            EXPECT_EQ(s.noSpeechProb, result.noSpeechProb);
            EXPECT_FALSE(s.words);
        }
    }
}

TEST(SegmentSeekerTest, SilenceSkipUnlessTheTextIsConfident) {
    struct Case {
        float noSpeechProb;
        std::optional<float> noSpeechThreshold;
        float avgLogProb;
        std::optional<float> logProbThreshold;
        bool skipped;
    };
    const Case cases[] = {
        {0.9f, 0.6f, -0.5f, -1.0f, false},         // confidence overrides
        {0.9f, 0.6f, -0.5f, std::nullopt, true},   // nothing to override with
        {0.9f, 0.6f, -1.0f, -1.0f, true},          // not above the log-prob threshold
        {0.6f, 0.6f, -3.0f, std::nullopt, false},  // not above the no-speech threshold
        {1.0f, std::nullopt, -3.0f, -1.0f, false}, // no threshold never skips
    };
    for (const auto& c : cases) {
        auto result = resultWith({word(" a"), EOT()});
        result.noSpeechProb = c.noSpeechProb;
        result.avgLogProb = c.avgLogProb;
        DecodingOptions options = DecodingOptions::defaultSet();
        options.noSpeechThreshold = c.noSpeechThreshold;
        options.logProbThreshold = c.logProbThreshold;
        const auto [seek, segments] = seekSegments(result, options);
        EXPECT_EQ(!segments.has_value(), c.skipped) << c.noSpeechProb << " " << c.avgLogProb;
        if (c.skipped) {
            EXPECT_EQ(seek, kSeek + kSize);
        }
    }
}

TEST(SegmentSeekerTest, TextWithAndWithoutSpecialTokensIdsAndShortLogProbs) {
    auto result = resultWith({ts(0), word(" Hello"), ts(1), ts(1), word(" there"), ts(2), EOT()});
    result.tokenLogProbs.resize(3);  // fewer maps than tokens
    DecodingOptions options = DecodingOptions::defaultSet();
    options.skipSpecialTokens = true;
    auto [seek, segments] = seekSegments(result, options, 7);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), 2u);
    EXPECT_EQ((*segments)[0].text, " Hello");
    EXPECT_EQ((*segments)[1].text, " there");
    EXPECT_EQ((*segments)[0].id, 7);
    EXPECT_EQ((*segments)[1].id, 8);
    EXPECT_EQ((*segments)[1].tokens.front(), ts(1));  // still in the tokens
    EXPECT_EQ((*segments)[1].tokenLogProbs, (std::vector<std::map<std::int64_t, float>>(3)));

    options.skipSpecialTokens = false;
    std::tie(seek, segments) = seekSegments(result, options);
    EXPECT_EQ((*segments)[0].text, "<|0.00|> Hello<|1.00|>");
}

// --- Dynamic time warping -------------------------------------------------

std::shared_ptr<MLMultiArray> matrixOf(const std::vector<std::vector<float>>& rows) {
    const auto n = static_cast<std::int64_t>(rows.size());
    const auto m = static_cast<std::int64_t>(rows.empty() ? 0 : rows[0].size());
    auto array = MLMultiArray::make({n, m}, MLMultiArrayDataType::float16);
    auto values = array->span<Float16>();
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = 0; j < rows[i].size(); ++j) values[i * m + j] = rows[i][j];
    return array;
}

TEST(SegmentSeekerTest, TimeWarpingPathsBreakTiesLeftThenUp) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> weights;
        Ids text, time;
    };
    const Case cases[] = {
        // At the last cell up and left cost -3w, diagonal -2w: left wins.
        {"equal weights", {{0.5f, 0.5f}, {0.5f, 0.5f}}, {0, 1, 1}, {0, 0, 1}},
        // Three equal candidates at (1, 1) and (1, 2) also go left.
        {"three-way tie", {{1, 0, 0}, {0, 0, 1}}, {0, 1, 1, 1}, {0, 0, 1, 2}},
        // A strictly cheapest diagonal is taken.
        {"diagonal", {{1, -1}, {-1, 1}}, {0, 1}, {0, 1}},
        // Up is taken when strictly cheaper than both others.
        {"up", {{1, 1}, {-1, 1}}, {0, 0, 1}, {0, 1, 1}},
        {"single cell", {{0.25f}}, {0}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = SegmentSeeker().dynamicTimeWarping(*matrixOf(c.weights));
        EXPECT_EQ(path.textIndices, c.text);
        EXPECT_EQ(path.timeIndices, c.time);
    }
}

// The cheapest monotone path by enumerating every one of them.
double bruteForceCost(const std::vector<std::vector<float>>& w, std::size_t i, std::size_t j) {
    const double here = -static_cast<double>(w[i][j]);
    if (i == 0 && j == 0) return here;
    double best = std::numeric_limits<double>::infinity();
    if (i > 0 && j > 0) best = std::min(best, bruteForceCost(w, i - 1, j - 1));
    if (i > 0) best = std::min(best, bruteForceCost(w, i - 1, j));
    if (j > 0) best = std::min(best, bruteForceCost(w, i, j - 1));
    return best + here;
}

TEST(SegmentSeekerTest, TimeWarpingFindsACheapestPathOnRandomMatrices) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t n = 1 + trial % 4, m = 1 + (trial / 4) % 5;
        std::vector<std::vector<float>> w(n, std::vector<float>(m));
        for (auto& row : w)
            for (auto& x : row) x = static_cast<float>(Float16(weight(rng)));
        const auto path = SegmentSeeker().dynamicTimeWarping(*matrixOf(w));
        ASSERT_EQ(path.textIndices.size(), path.timeIndices.size());
        ASSERT_FALSE(path.textIndices.empty());
        EXPECT_EQ(path.textIndices.front(), 0);
        EXPECT_EQ(path.timeIndices.front(), 0);
        EXPECT_EQ(path.textIndices.back(), static_cast<std::int64_t>(n) - 1);
        EXPECT_EQ(path.timeIndices.back(), static_cast<std::int64_t>(m) - 1);
        double cost = 0;
        for (std::size_t s = 0; s < path.textIndices.size(); ++s) {
            if (s > 0) {
                const auto di = path.textIndices[s] - path.textIndices[s - 1];
                const auto dj = path.timeIndices[s] - path.timeIndices[s - 1];
                EXPECT_TRUE(di >= 0 && di <= 1 && dj >= 0 && dj <= 1 && di + dj > 0);
            }
            cost -= w[static_cast<std::size_t>(path.textIndices[s])]
                     [static_cast<std::size_t>(path.timeIndices[s])];
        }
        EXPECT_NEAR(cost, bruteForceCost(w, n - 1, m - 1), 1e-9);
    }
}

TEST(SegmentSeekerTest, UnusableMatricesAndTraceTablesFailCleanly) {
    const SegmentSeeker seeker;
    for (const auto& shape : {std::vector<std::int64_t>{4}, std::vector<std::int64_t>{1, 2, 3}}) {
        auto array = MLMultiArray::make(shape, MLMultiArrayDataType::float16);
        try {
            seeker.dynamicTimeWarping(*array);
            ADD_FAILURE() << "no error";
        } catch (const auralith::WhisperError& e) {
            EXPECT_EQ(e.kind(), auralith::WhisperError::Kind::segmentingFailed);
            EXPECT_EQ(e.message(), "Invalid alignment matrix shape");
        }
    }
    // Trace tables that do not come from the warping: ragged, unknown codes.
    EXPECT_EQ(seeker.backtrace({{-1, 2}, {1}}).textIndices, (Ids{0}));
    EXPECT_EQ(seeker.backtrace({{-1, 7}, {1, 9}}).textIndices, (Ids{0}));
    EXPECT_TRUE(seeker.backtrace({}).textIndices.empty());

    std::vector<TranscriptionSegment> segments(1);
    segments[0].tokens = {word(" a"), word(" b")};
    for (const auto& shape : {std::vector<std::int64_t>{}, std::vector<std::int64_t>{2, 0}}) {
        auto weights = MLMultiArray::make(shape, MLMultiArrayDataType::float16);
        EXPECT_THROW(seeker.addWordTimestamps(segments, *weights, tokenizer(), 0, kSize, "", "", 0,
                                              DecodingOptions::defaultSet(), std::nullopt),
                     auralith::WhisperError);
    }
}

// --- Word-level steps -----------------------------------------------------

WordTiming w(std::string text, float start, float end, Ids tokens = {}, float probability = 0.5f) {
    return WordTiming(std::move(text), std::move(tokens), start, end, probability);
}

TEST(SegmentSeekerTest, MedianAndMaximumWordDuration) {
    struct Case {
        std::vector<float> durations;
        float median, max;
    };
    const Case cases[] = {
        {{0.8f, 0.2f, 0.6f, 0.4f}, 0.6f, 1.2f},  // upper middle of an even count
        {{1.0f, 2.0f, 3.0f}, 0.7f, 1.4f},        // capped
        {{0.0f, 0.0f}, 0.0f, 0.0f},
        {{-1.0f, 0.3f}, 0.3f, 0.6f},             // only positive durations count
        {{}, 0.0f, 0.0f},
    };
    for (const auto& c : cases) {
        std::vector<WordTiming> words;
        for (float d : c.durations) words.push_back(w("x", 0, d));
        const auto constraints = SegmentSeeker().calculateWordDurationConstraints(words);
        EXPECT_FLOAT_EQ(constraints.median, c.median);
        EXPECT_FLOAT_EQ(constraints.max, c.max);
    }
}

TEST(SegmentSeekerTest, LongWordsShortenedOnlyAtSentenceEnds) {
    const auto out = SegmentSeeker().truncateLongWordsAtSentenceBoundaries(
        {w(".", 0, 3), w(" Yes", 3, 4), w("?", 4, 7), w(" Then", 7, 10), w(" so", 10, 13)}, 1.4f);
    const std::vector<std::pair<float, float>> expected = {
        {0, 3},         // the first word is never changed
        {3, 4},         // short enough
        {4, 5.4f},      // a long mark ends early
        {8.6f, 10},     // a long word after a mark starts late
        {10, 13},       // long, but no mark around
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_FLOAT_EQ(out[i].start, expected[i].first) << i;
        EXPECT_FLOAT_EQ(out[i].end, expected[i].second) << i;
    }
}

TEST(SegmentSeekerTest, PunctuationJoinsItsWordAndRunsStayWhole) {
    const auto prepend = auralith::Constants::defaultPrependPunctuations;
    const auto append = auralith::Constants::defaultAppendPunctuations;
    struct Case {
        const char* name;
        std::vector<WordTiming> in;
        // word, tokens, start of each merged entry
        std::vector<std::tuple<std::string, Ids, float>> out;
    };
    const Case cases[] = {
        {"opening mark", {w(" (", 1, 2, {1}), w("word", 2, 3, {2})}, {{" (word", {1, 2}, 2}}},
        {"closing mark", {w(" Hello", 1, 2, {1}), w(",", 2, 3, {2})}, {{" Hello,", {1, 2}, 1}}},
        {"plain words",
         {w(" Hello", 1, 2, {1}), w(" world", 2, 3, {2})},
         {{" Hello", {1}, 1}, {" world", {2}, 2}}},
        {"closing run keeps its word",
         {w(" Hello", 1, 2, {1}), w(",", 2, 3, {2}), w("!", 3, 4, {3}), w(" next", 4, 5, {4})},
         {{" Hello,!", {1, 2, 3}, 1}, {" next", {4}, 4}}},
        {"opening run keeps every mark",
         {w(" (", 1, 2, {1}), w(" (", 2, 3, {2}), w("x", 3, 4, {3})},
         {{" ( (x", {1, 2, 3}, 3}}},
        {"a mark after a space is dropped",
         {w(" hi ", 1, 2, {1}), w(",", 2, 3, {2})},
         {{" hi ", {1}, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = SegmentSeeker().mergePunctuations(c.in, prepend, append);
        ASSERT_EQ(out.size(), c.out.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].word, std::get<0>(c.out[i]));
            EXPECT_EQ(out[i].tokens, std::get<1>(c.out[i]));
            EXPECT_FLOAT_EQ(out[i].start, std::get<2>(c.out[i]));
        }
    }
}

TEST(SegmentSeekerTest, SegmentsTakeWordsByTextTokenCount) {
    const SegmentSeeker seeker;
    const auto hello = word(" Hello"), there = word(" there"), you = word(" you");
    std::vector<TranscriptionSegment> segments(2);
    segments[0].tokens = {ts(0), hello, there, ts(1)};
    segments[0].start = 10.0f;
    segments[0].end = 11.0f;
    segments[1].tokens = {ts(1), you, ts(2), EOT()};
    segments[1].start = 11.0f;
    segments[1].end = 12.0f;
    // Median 0.4: " there" lasts 0.04 s (under a quarter) and starts 0.3 s
    // after " Hello" ends, so it moves back by half the median.
    const std::vector<WordTiming> alignment = {w(" Hello", 0.0f, 0.5f, {hello}, 0.456f),
                                               w(" there", 0.8f, 0.84f, {there}, 0.9f),
                                               w("<|1.00|>", 1.0f, 1.0f, {ts(1)}),
                                               w(" you", 1.1f, 1.6f, {you}, 0.7f)};
    const auto out =
        seeker.updateSegmentsWithWordTimings(segments, alignment, 160000, 10.0f, 0.4f, 0.8f, tokenizer());
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].words->size(), 2u);
    EXPECT_FLOAT_EQ((*out[0].words)[0].start, 10.0f);
    EXPECT_FLOAT_EQ((*out[0].words)[0].probability, 0.46f);  // rounded to 0.01
    EXPECT_FLOAT_EQ((*out[0].words)[1].start, 10.6f);
    EXPECT_FLOAT_EQ((*out[0].words)[1].end, 10.84f);
    EXPECT_FLOAT_EQ(out[0].end, 10.84f);  // the segment ends with its last word
    ASSERT_EQ(out[1].words->size(), 1u);  // the timestamp-only entry is passed over
    EXPECT_EQ((*out[1].words)[0].word, " you");
    EXPECT_FLOAT_EQ(out[1].start, 11.1f);
    EXPECT_FLOAT_EQ(out[1].end, 11.6f);

    // A segment with only special tokens gets no words and keeps its bounds.
    std::vector<TranscriptionSegment> special(1);
    special[0].tokens = {ts(0), EOT()};
    special[0].start = 3;
    special[0].end = 4;
    const auto kept = seeker.updateSegmentsWithWordTimings(special, alignment, 0, 0, 0.4f, 0.8f, tokenizer());
    EXPECT_EQ(kept[0].words, std::vector<WordTiming>{});
    EXPECT_EQ(kept[0].start, 3);
    EXPECT_EQ(kept[0].end, 4);
}

TEST(SegmentSeekerTest, LongFirstWordAfterAPauseIsCutToTheMaximum) {
    std::vector<TranscriptionSegment> segments(1);
    const auto hello = word(" Hello"), there = word(" there");
    segments[0].tokens = {hello, there};
    segments[0].start = 0.0f;
    segments[0].end = 6.0f;
    // Median 0.5, maximum 1.0; the first word lasts 3 s after 1 s of silence;
    // the second lasts 2 s, so both meet at max(6 / 2, 6 - 1) = 5.
    const auto out = SegmentSeeker().updateSegmentsWithWordTimings(
        segments, {w(" Hello", 1.0f, 4.0f, {hello}), w(" there", 4.0f, 6.0f, {there})}, 0, -2.0f,
        0.5f, 1.0f, tokenizer());
    const auto& words = *out[0].words;
    EXPECT_FLOAT_EQ(words[0].start, 4.0f);
    EXPECT_FLOAT_EQ(words[0].end, 5.0f);
    EXPECT_FLOAT_EQ(words[1].start, 5.0f);
    EXPECT_FLOAT_EQ(out[0].start, 4.0f);
}

// Each token attends to its own block of frames: the path moves along a
// block, then down to the next token at the first frame of its block.
std::shared_ptr<MLMultiArray> blockWeights(const std::vector<std::pair<int, int>>& blocks,
                                           int frames, int rows) {
    std::vector<std::vector<float>> m(static_cast<std::size_t>(rows),
                                      std::vector<float>(static_cast<std::size_t>(frames), 0.0f));
    for (std::size_t r = 0; r < blocks.size(); ++r)
        for (int f = blocks[r].first; f < blocks[r].second; ++f) m[r][static_cast<std::size_t>(f)] = 1.0f;
    return matrixOf(m);
}

TEST(SegmentSeekerTest, WordTimesFromAHandBuiltAlignment) {
    const auto hello = word(" Hello"), world = word(" world"), dot = word(".");
    std::vector<TranscriptionSegment> segments(1);
    segments[0].tokens = {ts(0), hello, world, dot, ts(1.5)};
    // " Hello" lacks its own entry.
    segments[0].tokenLogProbs = {{{ts(0), 0.0f}}, {}, {{world, -0.1f}}, {{dot, std::log(0.5f)}},
                                 {{ts(1.5), 0.0f}}};
    segments[0].start = 10.0f;
    segments[0].end = 11.5f;
    // Rows beyond the tokens (the decoder's unused cache rows) are ignored.
    const auto weights = blockWeights({{0, 5}, {5, 30}, {30, 60}, {60, 64}, {64, 75}}, 80, 8);
    const auto out = SegmentSeeker().addWordTimestamps(
        segments, *weights, tokenizer(), 160000, kSize, auralith::Constants::defaultPrependPunctuations,
        auralith::Constants::defaultAppendPunctuations, 10.0f, DecodingOptions::defaultSet(),
        std::nullopt);
    ASSERT_TRUE(out);
    const auto& words = *(*out)[0].words;
    ASSERT_EQ(words.size(), 2u);
    // Ties go left, so the path steps down to the next token one frame
    // before that token's block: jumps at frames 4, 29, 59 and 63, and the
    // path ends at frame 79. By token, words start at [0, 0.08, 0.58, 1.18,
    // 1.26] and end at [0.08, 0.58, 1.18, 1.26, 1.58]; " world" and "."
    // merge with the times of " world"; the timestamps carry no text.
    EXPECT_EQ(words[0].word, " Hello");
    EXPECT_FLOAT_EQ(words[0].start, 10.08f);
    EXPECT_FLOAT_EQ(words[0].end, 10.58f);
    // The missing entry counts as log 1; it does not shift the later
    // tokens' log-probabilities onto earlier words.
    EXPECT_FLOAT_EQ(words[0].probability, 1.0f);
    EXPECT_EQ(words[1].word, " world.");
    EXPECT_EQ(words[1].tokens, (Ids{world, dot}));
    EXPECT_FLOAT_EQ(words[1].start, 10.58f);
    EXPECT_FLOAT_EQ(words[1].end, 11.18f);
    EXPECT_FLOAT_EQ(words[1].probability, 0.9f);  // exp(-0.1) of " world"
    EXPECT_FLOAT_EQ((*out)[0].start, 10.08f);
    EXPECT_FLOAT_EQ((*out)[0].end, 11.18f);
}

TEST(SegmentSeekerTest, FewerThanTwoWordsOrNoTokensLeaveSegmentsAsTheyAre) {
    const auto weights = blockWeights({{0, 3}, {3, 6}}, 10, 4);
    for (const auto& tokens : {Ids{word(" Hello")}, Ids{}}) {
        std::vector<TranscriptionSegment> segments(1);
        segments[0].tokens = tokens;
        segments[0].start = 1;
        segments[0].end = 2;
        const auto out = SegmentSeeker().addWordTimestamps(
            segments, *weights, tokenizer(), 0, kSize, "", "", 0, DecodingOptions::defaultSet(),
            std::nullopt);
        ASSERT_TRUE(out);
        EXPECT_EQ((*out)[0].words, std::vector<WordTiming>{});
        EXPECT_EQ((*out)[0].start, 1);
        EXPECT_EQ((*out)[0].end, 2);
    }
}

}  // namespace
