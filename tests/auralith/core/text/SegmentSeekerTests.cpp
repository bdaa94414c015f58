// Segments and seek points from a window's tokens, and word timings from
// hand-built alignment matrices, over the real Whisper English tokenizer.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "auralith/core/Constants.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/WhisperEnglishTokenizer.hpp"

namespace {

using namespace auralith;
using platform::ml::MLMultiArray;
using Ids = std::vector<std::int64_t>;

const WhisperTokenizer& tokenizer() { return *testsupport::whisperEnglishTokenizer(); }
std::int64_t ts(double seconds) {
    return tokenizer().specialTokens().timeTokenBegin + std::llround(seconds / 0.02);
}

// "0 a a 1.5 E": numbers are timestamps, "E" end of text, words text tokens.
Ids tokens(const std::string& script) {
    Ids ids;
    std::istringstream in(script);
    for (std::string t; in >> t;)
        ids.push_back(t == "E" ? tokenizer().specialTokens().endToken
                      : std::isdigit(static_cast<unsigned char>(t[0]))
                          ? ts(std::stod(t))
                          : testsupport::textToken(" " + t));
    return ids;
}

constexpr std::int64_t kSeek = 160000, kSize = 480000;  // a window at 10 s

SegmentSeeking::SeekAndSegments seekSegments(
    const DecodingResult& result, const DecodingOptions& options = DecodingOptions::defaultSet()) {
    return SegmentSeeker().findSeekPointAndSegments(result, options, 3, kSeek, kSize, 16000,
                                                    tokenizer().specialTokens().timeTokenBegin, 0,
                                                    tokenizer());
}

DecodingResult resultWith(Ids ids) {
    DecodingResult result;
    for (auto t : ids) result.tokenLogProbs.push_back({{t, -0.25f}});
    result.tokens = std::move(ids);
    result.temperature = 0.2f;
    return result;
}

TEST(SegmentSeekerTest, CutsAtTimestampPairsAndSeeksToTheLastTimestamp) {
    struct Case {
        const char* script;
        std::vector<std::tuple<float, float, std::size_t>> segments;  // start, end, token count
        std::int64_t advance;
    };
    const Case cases[] = {
        {"0 a b 1 1 c d 2.5 E", {{0, 1, 4}, {1, 2.5f, 4}}, 40000},  // single-timestamp ending
        {"0 a b 1 1 c d E", {{0, 1, 4}, {1, 1, 4}}, kSize},         // no-timestamp ending
        {"0 a b 1 1 c d 2.5 2.5", {{0, 1, 4}, {1, 2.5f, 4}}, 40000},
        {"0 x 2 2.4 e", {{0, 2, 3}}, 38399},  // 2.40 s is 38399.996 samples in single precision
        {"a b c", {{0, 30, 3}}, kSize},
        {"a b 7.3 E", {{0, 7.3f, 4}}, kSize},  // one timestamp sets only the end
        {"0 a b E", {{0, 30, 4}}, kSize},      // <|0.00|> alone does not
        {"a 1", {{0, 1, 2}}, kSize},
        {"", {{0, 30, 0}}, kSize},
        {"0 0 E", {{0, 0, 1}}, 0},  // silence answered at 0.00 does not move the window
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const auto result = resultWith(tokens(c.script));
        const auto [seek, segments] = seekSegments(result);
        EXPECT_EQ(seek, kSeek + c.advance);
        ASSERT_TRUE(segments);
        ASSERT_EQ(segments->size(), c.segments.size());
        std::size_t from = 0;
        for (std::size_t i = 0; i < segments->size(); ++i) {
            const auto& s = (*segments)[i];
            const auto [start, end, count] = c.segments[i];
            EXPECT_FLOAT_EQ(s.start, 10.0f + start);
            EXPECT_FLOAT_EQ(s.end, 10.0f + end);
            EXPECT_EQ(s.tokens,
                      Ids(result.tokens.begin() + from, result.tokens.begin() + from + count));
            EXPECT_EQ(s.tokenLogProbs.size(), count);
            EXPECT_EQ(s.id, 3 + static_cast<std::int64_t>(i));
            EXPECT_EQ(s.seek, kSeek);
            EXPECT_EQ(s.temperature, 0.2f);
            from += count;
        }
    }
}

TEST(SegmentSeekerTest, SilenceSkipTextAndShortLogProbs) {
    struct Case {
        float noSpeechProb, avgLogProb;
        std::optional<float> noSpeechThreshold, logProbThreshold;
        bool skipped;
    };
    for (const Case& c :
         {Case{0.9f, -0.5f, 0.6f, -1.0f, false}, Case{0.9f, -0.5f, 0.6f, std::nullopt, true},
          Case{0.9f, -1.0f, 0.6f, -1.0f, true}, Case{0.6f, -3.0f, 0.6f, std::nullopt, false},
          Case{1.0f, -3.0f, std::nullopt, -1.0f, false}}) {
        auto result = resultWith(tokens("a E"));
        result.noSpeechProb = c.noSpeechProb;
        result.avgLogProb = c.avgLogProb;
        auto options = DecodingOptions::defaultSet();
        options.noSpeechThreshold = c.noSpeechThreshold;
        options.logProbThreshold = c.logProbThreshold;
        const auto [seek, segments] = seekSegments(result, options);
        EXPECT_EQ(!segments, c.skipped) << c.noSpeechProb << " " << c.avgLogProb;
        EXPECT_EQ(seek, kSeek + kSize);
    }
    // Token ids no tokenizer has: the seek stays at the end of the range.
    const auto huge = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(seekSegments(resultWith({ts(0), huge, huge})).first, huge);

    auto result = resultWith(tokens("0 Hello 1 1 there 2 E"));
    result.tokenLogProbs.resize(3);  // fewer maps than tokens: the rest are empty, not lost
    auto options = DecodingOptions::defaultSet();
    options.skipSpecialTokens = true;
    const auto skipped = seekSegments(result, options).second.value();
    EXPECT_EQ(skipped.at(1).text, " there");
    EXPECT_EQ(skipped.at(1).tokenLogProbs, (std::vector<std::map<std::int64_t, float>>(3)));
}

std::shared_ptr<MLMultiArray> matrixOf(const std::vector<std::vector<float>>& rows,
                                       std::size_t extraRows = 0) {
    const auto n = rows.size(), m = rows.empty() ? 0 : rows[0].size();
    auto array =
        MLMultiArray::make({static_cast<std::int64_t>(n + extraRows), static_cast<std::int64_t>(m)},
                           platform::ml::MLMultiArrayDataType::float16);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m; ++j)
            array->setValue(static_cast<std::int64_t>(i * m + j), rows[i][j]);
    return array;
}

TEST(SegmentSeekerTest, TimeWarpingBreaksTiesLeftThenUp) {
    struct Case {
        std::vector<std::vector<float>> weights;
        Ids text, time;
    };
    const Case cases[] = {
        {{{0.5f, 0.5f}, {0.5f, 0.5f}}, {0, 1, 1}, {0, 0, 1}},  // up and left tie at -3w: left
        {{{1, 0, 0}, {0, 0, 1}}, {0, 1, 1, 1}, {0, 0, 1, 2}},  // three-way ties: left
        {{{1, -1}, {-1, 1}}, {0, 1}, {0, 1}},                  // strictly cheapest diagonal
        {{{1, 1}, {-1, 1}}, {0, 0, 1}, {0, 1, 1}},             // strictly cheapest up
    };
    for (const auto& c : cases) {
        const auto path = SegmentSeeker().dynamicTimeWarping(*matrixOf(c.weights));
        EXPECT_EQ(path.textIndices, c.text);
        EXPECT_EQ(path.timeIndices, c.time);
    }
    for (const auto& shape : {std::vector<std::int64_t>{4}, std::vector<std::int64_t>{1, 2, 3}})
        EXPECT_THROW(SegmentSeeker().dynamicTimeWarping(
                         *MLMultiArray::make(shape, platform::ml::MLMultiArrayDataType::float16)),
                     WhisperError);
    EXPECT_EQ(SegmentSeeker().backtrace({{-1, 7}, {1}}).textIndices,
              (Ids{0}));  // ragged, unknown code
}

// The cheapest monotone path, by trying every one.
double cheapest(const std::vector<std::vector<float>>& w, std::size_t i, std::size_t j) {
    double best = i == 0 && j == 0 ? 0 : INFINITY;
    if (i > 0 && j > 0) best = std::min(best, cheapest(w, i - 1, j - 1));
    if (i > 0) best = std::min(best, cheapest(w, i - 1, j));
    if (j > 0) best = std::min(best, cheapest(w, i, j - 1));
    return best - w[i][j];
}

TEST(SegmentSeekerTest, TimeWarpingPathIsACheapestPath) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<std::vector<float>> w(1 + trial % 4, std::vector<float>(1 + trial / 4 % 5));
        for (auto& row : w)
            for (auto& x : row) x = platform::ml::Float16(weight(rng));
        const auto path = SegmentSeeker().dynamicTimeWarping(*matrixOf(w));
        double cost = 0;
        for (std::size_t s = 0; s < path.textIndices.size(); ++s) {
            const bool step = s == 0 || (path.textIndices[s] - path.textIndices[s - 1] <= 1 &&
                                         path.timeIndices[s] - path.timeIndices[s - 1] <= 1);
            EXPECT_TRUE(step);
            cost -= w.at(static_cast<std::size_t>(path.textIndices[s]))
                        .at(static_cast<std::size_t>(path.timeIndices[s]));
        }
        EXPECT_EQ(path.textIndices.back() + 1, static_cast<std::int64_t>(w.size()));
        EXPECT_EQ(path.timeIndices.back() + 1, static_cast<std::int64_t>(w[0].size()));
        EXPECT_NEAR(cost, cheapest(w, w.size() - 1, w[0].size() - 1), 1e-9);
    }
}

WordTiming w(std::string text, float start, float end, Ids ids = {}) {
    return WordTiming(std::move(text), std::move(ids), start, end, 0.5f);
}

TEST(SegmentSeekerTest, PunctuationJoinsItsWordAndRunsKeepEveryWord) {
    struct Case {
        std::vector<WordTiming> in;
        std::vector<std::tuple<std::string, Ids, float>> out;  // word, tokens, start
    };
    const Case cases[] = {
        {{w(" (", 1, 2, {1}), w("word", 2, 3, {2})}, {{" (word", {1, 2}, 2}}},
        {{w(" Hello", 1, 2, {1}), w(",", 2, 3, {2})}, {{" Hello,", {1, 2}, 1}}},
        {{w(" Hello", 1, 2, {1}), w(" world", 2, 3, {2})},
         {{" Hello", {1}, 1}, {" world", {2}, 2}}},
        {{w(" Hello", 1, 2, {1}), w(",", 2, 3, {2}), w("!", 3, 4, {3}), w(" next", 4, 5, {4})},
         {{" Hello,!", {1, 2, 3}, 1}, {" next", {4}, 4}}},
        {{w(" (", 1, 2, {1}), w(" (", 2, 3, {2}), w("x", 3, 4, {3})}, {{" ( (x", {1, 2, 3}, 3}}},
        {{w(" hi ", 1, 2, {1}), w(",", 2, 3, {2})}, {{" hi ", {1}, 1}}},  // a lone mark is dropped
    };
    for (const auto& c : cases) {
        const auto out = SegmentSeeker().mergePunctuations(
            c.in, Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations);
        ASSERT_EQ(out.size(), c.out.size()) << c.in[0].word;
        for (std::size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(std::tie(out[i].word, out[i].tokens, out[i].start), c.out[i]);
    }
}

TEST(SegmentSeekerTest, MedianWordDurationTakesTheUpperMiddleAndIsCapped) {
    const std::vector<std::pair<std::vector<float>, float>> cases = {
        {{0.8f, 0.2f, 0.6f, 0.4f}, 0.6f}, {{1, 2, 3}, 0.7f}, {{0, 0}, 0}, {{-1, 0.3f}, 0.3f}};
    for (const auto& [durations, median] : cases) {
        std::vector<WordTiming> words;
        for (float d : durations) words.push_back(w("x", 0, d));
        const auto constraints = SegmentSeeker().calculateWordDurationConstraints(words);
        EXPECT_FLOAT_EQ(constraints.median, median);
        EXPECT_FLOAT_EQ(constraints.max, 2 * median);
    }
}

TEST(SegmentSeekerTest, WordTimesFromAHandBuiltAlignment) {
    // Token r attends to its own block of frames, on a 10 s window of 8 cache rows.
    std::vector<std::vector<float>> rows(5, std::vector<float>(80, 0.0f));
    const int blocks[][2] = {{0, 5}, {5, 30}, {30, 60}, {60, 64}, {64, 75}};
    for (std::size_t r = 0; r < 5; ++r)
        for (int f = blocks[r][0]; f < blocks[r][1]; ++f) rows[r][static_cast<std::size_t>(f)] = 1;
    const auto ids = tokens("0 Hello world 1.5");
    const Ids withDot = {ids[0], ids[1], ids[2], testsupport::textToken("."), ids[3]};
    std::vector<TranscriptionSegment> segments(1);
    segments[0].tokens = withDot;
    // " Hello" lacks its own entry: it counts as log 1 and shifts nothing.
    segments[0].tokenLogProbs = {{}, {}, {{withDot[2], -0.1f}}, {{withDot[3], std::log(0.5f)}}, {}};
    segments[0].start = 10;
    segments[0].end = 11.5f;
    const auto out = SegmentSeeker().addWordTimestamps(
        segments, *matrixOf(rows, 3), tokenizer(), kSeek, kSize,
        Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations, 10,
        DecodingOptions::defaultSet(), std::nullopt);
    // Ties go left, so the path steps down one frame before each block: row
    // jumps at frames 4, 29, 59, 63 and the end at 79. " world" and "." merge
    // with the times of " world"; the timestamps carry no text.
    const auto& words = *out->at(0).words;
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(std::tie(words[0].word, words[1].word), std::make_tuple(" Hello", " world."));
    EXPECT_EQ(words[1].tokens, (Ids{withDot[2], withDot[3]}));
    for (const auto& [got, want] :
         std::vector<std::pair<float, float>>{{words[0].start, 10.08f},
                                              {words[0].end, 10.58f},
                                              {words[0].probability, 1.0f},
                                              {words[1].start, 10.58f},
                                              {words[1].end, 11.18f},
                                              {words[1].probability, 0.9f},
                                              {out->at(0).start, 10.08f},
                                              {out->at(0).end, 11.18f}})
        EXPECT_FLOAT_EQ(got, want);

    // One word, or no tokens at all: no words, bounds kept.
    for (const auto& few : {tokens("Hello"), Ids{}}) {
        segments[0].tokens = few;
        const auto kept =
            SegmentSeeker().addWordTimestamps(segments, *matrixOf(rows), tokenizer(), 0, kSize, "",
                                              "", 0, DecodingOptions::defaultSet(), std::nullopt);
        EXPECT_EQ(kept->at(0).words, std::vector<WordTiming>{});
        EXPECT_EQ(kept->at(0).start, 10);
    }
}

}  // namespace
