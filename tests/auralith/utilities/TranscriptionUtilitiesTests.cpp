#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "auralith/TranscriptionUtilities.hpp"

namespace auralith {
namespace {

using U = TranscriptionUtilities;

TranscriptionSegment seg(int64_t seek, float start, float end, std::string text = " a",
                         std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.seek = seek;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.words = std::move(words);
    return s;
}

std::vector<WordTiming> words(std::initializer_list<const char*> texts, float start = 0) {
    std::vector<WordTiming> out;
    for (const char* t : texts) {
        out.push_back({t, {1}, start, start + 0.5f, 0.5f});
        start += 0.5f;
    }
    return out;
}

TEST(TranscriptionUtilities, ShiftsSegmentsAndSaturates) {
    const auto withWords = seg(100, 1.0f, 2.0f, " a", words({" a"}, 1.0f));
    const auto bySeconds = U::updateSegmentTimingsSeekTime(withWords, 1.5f);
    EXPECT_EQ(bySeconds.seek, 100 + 24000);
    EXPECT_FLOAT_EQ(bySeconds.start, 2.5f);
    EXPECT_FLOAT_EQ(bySeconds.end, 3.5f);
    EXPECT_FLOAT_EQ((*bySeconds.words)[0].start, 2.5f);
    EXPECT_FLOAT_EQ((*bySeconds.words)[0].end, 3.0f);

    const auto bySamples = U::updateSegmentTimingsSeekOffsetIndex(seg(0, 1.0f, 2.0f), 8000);
    EXPECT_EQ(bySamples.seek, 8000);
    EXPECT_FLOAT_EQ(bySamples.start, 1.5f);
    EXPECT_FALSE(bySamples.words.has_value());
    EXPECT_TRUE(U::updateSegmentTimingsSeekTime(seg(0, 0, 1, " a", std::vector<WordTiming>{}), 1)
                    .words->empty());

    constexpr auto max = std::numeric_limits<int64_t>::max();
    constexpr auto min = std::numeric_limits<int64_t>::min();
    struct Case {
        int64_t seek;
        float seconds;
        int64_t expected;
    } cases[] = {
        {0, std::nanf(""), 0}, {5, std::numeric_limits<float>::infinity(), 5},
        {0, 1.0e30f, max},     {0, -1.0e30f, min},
        {max - 10, 1.0f, max},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(U::updateSegmentTimingsSeekTime(seg(c.seek, 0, 1), c.seconds).seek, c.expected);
    }
    EXPECT_EQ(U::updateSegmentTimingsSeekOffsetIndex(seg(max - 1, 0, 1), 5).seek, max);
    EXPECT_EQ(U::updateSegmentTimingsSeekOffsetIndex(seg(min + 1, 0, 1), -5).seek, min);
}

TEST(TranscriptionUtilities, FormatSegments) {
    const std::vector<TranscriptionSegment> segments{seg(0, 1.0f, 2.5f, " Hello"),
                                                     seg(0, 2.675f, 3.0f, "x")};
    EXPECT_EQ(U::formatSegments(segments, true),
              (std::vector<std::string>{"[1.00 --> 2.50]  Hello", "[2.67 --> 3.00] x"}));
    EXPECT_EQ(U::formatSegments(segments, false), (std::vector<std::string>{" Hello", "x"}));
    EXPECT_EQ(U::formatSegments({seg(0, 3.0e38f, std::nanf(""))}, true).front().substr(0, 2), "[3");
}

TEST(TranscriptionUtilities, CommonPrefixComparesNormalizedWordsAndKeepsSecondTimings) {
    struct Case {
        std::vector<WordTiming> first, second;
        size_t prefix;
    } cases[] = {
        {words({" Hello,", " well-known", " cat"}), words({" hello", " well known", " dog"}, 10),
         2},
        {words({" a", " b", " c"}), words({" a", " x", " c"}), 1},
        {words({" a", " b", " c"}), words({" a", " b"}), 2},
        {words({" a"}), words({" a", " b", " c"}), 1},
        {words({" caf\u00e9"}), words({" cafe\u0301"}), 1},
        {{}, words({" a"}), 0},
    };
    for (const auto& c : cases) {
        const auto prefix = U::findLongestCommonPrefix(c.first, c.second);
        const auto suffix = U::findLongestDifferentSuffix(c.first, c.second);
        ASSERT_EQ(prefix.size(), c.prefix);
        EXPECT_EQ(prefix, std::vector<WordTiming>(c.second.begin(), c.second.begin() + c.prefix));
        EXPECT_EQ(suffix, std::vector<WordTiming>(c.second.begin() + c.prefix, c.second.end()));
    }
    EXPECT_TRUE(U::findLongestDifferentSuffix(words({" a", " b"}), words({" a", " b"})).empty());
}

std::shared_ptr<TranscriptionResult> result(std::string text, size_t segments, std::string language,
                                            double start, double full, double loading) {
    std::vector<TranscriptionSegment> list;
    for (size_t i = 0; i < segments; ++i) list.push_back(seg(static_cast<int64_t>(i) * 100, 0, 1));
    TranscriptionTimings t;
    t.pipelineStart = start;
    t.fullPipeline = full;
    t.modelLoading = loading;
    t.encoding = 1;
    t.totalDecodingLoops = 10;
    t.encoderSpecializationTime = 9;
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(list),
                                                 std::move(language), t, 3.0f);
}

TEST(TranscriptionUtilities, MergeResults) {
    const auto a = result(" one", 3, "de", 100, 5, 2);
    const auto b = result(" two", 2, "fr", 102, 5, 4);

    const auto merged = U::mergeTranscriptionResults({a, nullptr, b});
    EXPECT_EQ(merged->text(), " one   two");
    EXPECT_EQ(merged->language(), "de");
    EXPECT_FALSE(merged->seekTime().has_value());
    std::vector<int64_t> ids, seeks;
    for (const auto& s : merged->segments()) {
        ids.push_back(s.id);
        seeks.push_back(s.seek);
    }
    // The position of the result plus that of the segment: ids repeat.
    EXPECT_EQ(ids, (std::vector<int64_t>{0, 1, 2, 1, 2}));
    EXPECT_EQ(seeks, (std::vector<int64_t>{0, 100, 200, 0, 100}));
    const auto t = merged->timings();
    EXPECT_EQ(t.pipelineStart, 100);
    EXPECT_EQ(t.modelLoading, 4);
    EXPECT_EQ(t.encoding, 2);
    EXPECT_EQ(t.totalDecodingLoops, 20);
    EXPECT_EQ(t.encoderSpecializationTime, 0);
    EXPECT_EQ(t.fullPipeline, 7);  // the span 100..107, less than the sum 10
    EXPECT_EQ(
        U::mergeTranscriptionResults({result("", 0, "en", 0, 1, 0), result("", 0, "en", 50, 2, 0)})
            ->timings()
            .fullPipeline,
        3);  // the sum, less than the span

    EXPECT_EQ(U::mergeTranscriptionResults({a, b}, std::vector<WordTiming>{})->text(), "");
    EXPECT_EQ(U::mergeTranscriptionResults({a}, words({" x", " y"}))->text(), " x y");

    for (const auto& input :
         {std::vector<std::shared_ptr<TranscriptionResult>>{},
          std::vector<std::shared_ptr<TranscriptionResult>>{nullptr, nullptr}}) {
        const auto none = U::mergeTranscriptionResults(input);
        EXPECT_EQ(none->text(), input.empty() ? "" : " ");
        EXPECT_EQ(none->language(), "en");
        EXPECT_TRUE(none->segments().empty());
        EXPECT_EQ(none->timings().pipelineStart, 0);
        EXPECT_EQ(none->timings().fullPipeline, 0);
        EXPECT_EQ(none->timings().firstTokenTime, 0);
    }
}

}  // namespace
}  // namespace auralith
