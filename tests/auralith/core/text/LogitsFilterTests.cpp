#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "auralith/core/DecoderTestSupport.hpp"
#include "auralith/core/text/LanguageLogitsFilter.hpp"
#include "auralith/core/text/SuppressBlankFilter.hpp"
#include "auralith/core/text/SuppressTokensFilter.hpp"
#include "auralith/core/text/TimestampRulesFilter.hpp"

using namespace dectest;
using auralith::TimestampRulesFilter;

namespace {

std::set<std::int64_t> range(std::int64_t lo, std::int64_t hi) {
    std::set<std::int64_t> s;
    for (auto i = lo; i < hi; ++i) s.insert(i);
    return s;
}
std::set<std::int64_t> operator+(std::set<std::int64_t> a, const std::set<std::int64_t>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

// Ids whose score the filter turned from finite into negative infinity.
std::set<std::int64_t> newlyForbidden(const auralith::LogitsFiltering& filter,
                                      std::shared_ptr<MLMultiArray> scores, const Ids& tokens) {
    const auto before = scores->copy();
    const auto after = filter.filterLogits(scores, tokens);
    EXPECT_EQ(after, scores) << "filters work in place";
    std::set<std::int64_t> out;
    for (std::int64_t i = 0; i < scores->count(); ++i)
        if (std::isfinite(before->doubleValue(i)) && std::isinf(after->doubleValue(i)) &&
            after->doubleValue(i) < 0)
            out.insert(i);
    return out;
}

// Text and control tokens at 0, timestamps low enough that their summed
// probability stays below any single text token.
std::shared_ptr<MLMultiArray> quietTimestamps() {
    auto a = logits(0.0f);
    for (auto t = kTime; t < kVocab; ++t) a->setValue(t, -5.0);
    return a;
}

struct TimestampCase {
    const char* name;
    bool multilingual;
    std::int64_t sampleBegin;
    Ids tokens;
    std::set<std::int64_t> forbidden;
};

}  // namespace

TEST(TimestampRulesFilter, GrammarTable) {
    const auto all = range(kTime, kVocab);
    const std::set<std::int64_t> noTs{kNoTimestamps};
    const TimestampCase cases[] = {
        {"first sampled position allows every timestamp", false, 2, {kSot, kTime}, noTs},
        {"a lone sampled timestamp counts as a pair", false, 2, {kSot, kTime, 55}, noTs + all},
        {"text then timestamp forbids text, not the same time",
         false,
         2,
         {kSot, kTime, 55, 7, 57},
         noTs + range(0, kEot) + range(kTime, 57)},
        {"timestamp then text forbids going back or staying",
         false,
         2,
         {kSot, kTime, 55, 7},
         noTs + range(kTime, 56)},
        {"a closed pair forbids every timestamp",
         false,
         2,
         {kSot, kTime, 55, 7, 57, 58},
         noTs + all},
        {"english-only ignores what the prompt holds", false, 2, {kSot, 7, 7, 7}, noTs},
        {"multilingual begins after the task token",
         true,
         2,
         {kSot, kEn, kTranscribe, 55},
         noTs + all},
        {"multilingual without a task token is left alone", true, 2, {kSot, kEn, 7, 55}, {}},
        {"previous-text prompt keeps the grammar",
         true,
         8,
         {kPrev, 3, 4, 5, kSot, kEn, kTranscribe, kTime, 60},
         noTs + all},
        {"below the first sampled position nothing changes", false, 3, {kSot, kTime}, {}},
    };
    for (const auto& c : cases) {
        const TimestampRulesFilter filter(specialTokens(), c.sampleBegin, std::nullopt,
                                          c.multilingual);
        EXPECT_EQ(newlyForbidden(filter, quietTimestamps(), c.tokens), c.forbidden) << c.name;
    }
}

TEST(TimestampRulesFilter, ProbabilityMassForcesATimestampOnlyWhenStrictlyAbove) {
    const TimestampRulesFilter filter(specialTokens(), 2, std::nullopt, false);
    const Ids tokens{kSot, kTime};
    struct Case {
        const char* name;
        std::function<void(MLMultiArray&)> setup;
        bool forced;
    } cases[] = {
        {"timestamps together outweigh the best text", [](MLMultiArray& a) { a.setValue(55, 3); },
         true},
        {"one timestamp equal to the best text is not above it",
         [](MLMultiArray& a) {
             for (auto t = kTime; t < kVocab; ++t) a.setValue(t, -INFINITY);
             a.setValue(55, 0);
         },
         false},
        {"a NaN timestamp decides nothing",
         [](MLMultiArray& a) {
             a.setValue(55, 3);
             a.setValue(56, NAN);
         },
         false},
        {"a NaN text score decides nothing",
         [](MLMultiArray& a) {
             a.setValue(55, 3);
             a.setValue(8, NAN);
         },
         false},
        {"only timestamps left",
         [](MLMultiArray& a) {
             for (auto t = 0; t < kTime; ++t) a.setValue(t, -INFINITY);
         },
         false},
    };
    for (const auto& c : cases) {
        auto scores = quietTimestamps();
        c.setup(*scores);
        const auto forbidden = newlyForbidden(filter, scores, tokens);
        EXPECT_EQ(forbidden.contains(7), c.forced) << c.name;
        EXPECT_FALSE(forbidden.contains(kTime)) << c.name;
    }
}

TEST(SuppressBlankFilter, ActsOnlyAtTheFirstSampledPosition) {
    const auralith::SuppressBlankFilter filter(specialTokens(), 3);
    EXPECT_EQ(newlyForbidden(filter, logits(), {kSot, kEn, kTranscribe}),
              (std::set<std::int64_t>{kBlank, kEot}));
    EXPECT_TRUE(newlyForbidden(filter, logits(), {kSot, kEn, kTranscribe, 7}).empty());
    EXPECT_TRUE(newlyForbidden(filter, logits(), {kSot, kEn}).empty());
}

TEST(SuppressTokensFilter, IgnoresIdsOutsideTheVocabularyAndSaysSoOnce) {
    const LogCapture log;
    const auralith::SuppressTokensFilter filter({-1, 7, 200, 9});
    EXPECT_EQ(newlyForbidden(filter, logits(), {kSot}), (std::set<std::int64_t>{7, 9}));
    EXPECT_EQ(newlyForbidden(filter, logits(), {kSot, 1, 2, 3}), (std::set<std::int64_t>{7, 9}));
    EXPECT_EQ(log.count("the -1 sentinel (suppress default non-speech tokens) is not supported"),
              1u);
}

TEST(LanguageLogitsFilter, LeavesOnlyLanguageTokensFromItsBegin) {
    const auralith::LanguageLogitsFilter filter({kEn, kDe, kUnsupportedLanguage}, kVocab, 0);
    auto expected = range(0, kVocab);
    for (auto t : {kEn, kDe, kUnsupportedLanguage}) expected.erase(t);
    EXPECT_EQ(newlyForbidden(filter, logits(), {}), expected);
    const auralith::LanguageLogitsFilter later({kEn}, kVocab, 2);
    EXPECT_TRUE(newlyForbidden(later, logits(), {kSot}).empty());
    EXPECT_TRUE(auralith::LanguageLogitsFilter({kEn}, 0, 0).nonLanguageTokenIndexes.empty());
}
