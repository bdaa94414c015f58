#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "auralith/core/DecodingFallback.hpp"
#include "auralith/core/DecodingResult.hpp"

using auralith::DecodingFallback;
using auralith::DecodingOptions;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

DecodingOptions withoutThresholds() {
    return DecodingOptions({.compressionRatioThreshold = std::nullopt,
                            .logProbThreshold = std::nullopt,
                            .firstTokenLogProbThreshold = std::nullopt,
                            .noSpeechThreshold = std::nullopt});
}

}  // namespace

TEST(DecodingFallback, FirstApplicableRuleDecides) {
    // Default thresholds: no speech 0.6, compression 2.4, log-probability -1.0.
    const DecodingOptions options = DecodingOptions::defaultSet();
    struct Row {
        const char* name;
        bool firstTokenTooLow;
        float noSpeech, compression, avgLogProb;
        std::optional<DecodingFallback> expected;
    };
    const Row rows[] = {
        {"first token beats every breached threshold", true, 0.9f, 3.0f, -2.0f,
         DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {"silence beats compression", false, 0.9f, 3.0f, -2.0f, DecodingFallback{false, "silence"}},
        {"compression beats log-probability", false, 0.1f, 3.0f, -2.0f,
         DecodingFallback{true, "compressionRatioThreshold"}},
        {"compression equal to its threshold", false, 0.1f, 2.4f, -1.2f,
         DecodingFallback{true, "logProbThreshold"}},
        {"every value equal to its threshold", false, 0.6f, 2.4f, -1.0f, std::nullopt},
        {"good window", false, 0.1f, 1.5f, -0.3f, std::nullopt},
        {"NaN measures", false, kNaN, kNaN, kNaN, std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DecodingFallback::fromOptions(options, row.firstTokenTooLow, row.noSpeech,
                                                row.compression, row.avgLogProb),
                  row.expected)
            << row.name;
    }
}

TEST(DecodingFallback, AbsentThresholdsDisableTheirRules) {
    const DecodingOptions none = withoutThresholds();
    EXPECT_EQ(DecodingFallback::fromOptions(none, false, 1.0f, 100.0f, -100.0f), std::nullopt);
    EXPECT_EQ(DecodingFallback::fromOptions(none, true, 0.0f, 0.0f, 0.0f),
              (DecodingFallback{true, "firstTokenLogProbThreshold"}));

    DecodingOptions onlyLogProb = none;
    onlyLogProb.logProbThreshold = -1.0f;
    EXPECT_EQ(DecodingFallback::fromOptions(onlyLogProb, false, 1.0f, 100.0f, -1.5f),
              (DecodingFallback{true, "logProbThreshold"}));
}

TEST(DecodingResult, EmptyResultsHoldNothing) {
    const auto empty = auralith::DecodingResult::emptyResults();
    EXPECT_TRUE(empty.language.empty() && empty.text.empty());
    EXPECT_TRUE(empty.languageProbs.empty() && empty.tokens.empty() && empty.tokenLogProbs.empty());
    EXPECT_EQ(empty.avgLogProb, 0);
    EXPECT_EQ(empty.noSpeechProb, 0);
    EXPECT_EQ(empty.temperature, 0);
    EXPECT_EQ(empty.compressionRatio, 0);
    EXPECT_FALSE(empty.cache || empty.timings || empty.fallback);
}
