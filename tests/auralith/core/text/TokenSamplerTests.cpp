#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "auralith/core/DecoderTestSupport.hpp"
#include "auralith/core/text/BeamSearchTokenSampler.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"

using namespace dectest;
using auralith::GreedyTokenSampler;

namespace {

constexpr float kMinusInf = -std::numeric_limits<float>::infinity();

GreedyTokenSampler sampler(float temperature, std::int64_t topK = 5) {
    auto options = auralith::DecodingOptions::defaultSet();
    options.topK = topK;
    return GreedyTokenSampler(Float16(temperature), kEot, options);
}

// Scores that are -infinity except the given ones.
std::shared_ptr<MLMultiArray> only(std::initializer_list<std::pair<std::int64_t, float>> scores) {
    auto a = logits(kMinusInf);
    for (auto [id, v] : scores) a->setValue(id, v);
    return a;
}

// ln softmax(z / t)[token] over the half-precision scores, in double.
double referenceLogProb(const MLMultiArray& z, double t, std::int64_t token) {
    double m = -INFINITY, sum = 0;
    for (std::int64_t i = 0; i < z.count(); ++i) m = std::max(m, z.doubleValue(i) / t);
    for (std::int64_t i = 0; i < z.count(); ++i) sum += std::exp(z.doubleValue(i) / t - m);
    return z.doubleValue(token) / t - m - std::log(sum);
}

}  // namespace

TEST(GreedyTokenSampler, GreedyPicksTheArgMaxOfTheUnscaledScores) {
    struct Case {
        float temperature;
        std::shared_ptr<MLMultiArray> scores;
        std::int64_t token;
        float logProb;
    } cases[] = {
        {0.0f, only({{7, 2.0f}}), 7, 0.0f},
        {-0.0f, only({{7, 2.0f}}), 7, 0.0f},
        {0.0f, only({{9, 1.5f}, {3, 1.5f}}), 3, std::log(0.5f)},
    };
    for (auto& c : cases) {
        auto s = sampler(c.temperature);
        const auto r = s.update({kSot}, *c.scores, {0.0f});
        EXPECT_EQ(r.tokens, (Ids{kSot, c.token}));
        ASSERT_EQ(r.logProbs.size(), 2u);
        EXPECT_NEAR(r.logProbs[1], c.logProb, 1e-6);
        EXPECT_FALSE(r.completed);
    }
}

TEST(GreedyTokenSampler, TopOneAtATemperatureReportsTheTemperedProbability) {
    auto scores = logits(0.0f);
    for (std::int64_t i = 0; i < kVocab; ++i) scores->setValue(i, std::sin(0.7 * i));
    auto s = sampler(0.5f, 1);
    for (int draw = 0; draw < 20; ++draw) {
        const auto r = s.update({}, *scores, {});
        std::int64_t best = 0;
        for (std::int64_t i = 0; i < kVocab; ++i)
            if (scores->doubleValue(i) > scores->doubleValue(best)) best = i;
        ASSERT_EQ(r.tokens.back(), best);
        EXPECT_NEAR(r.logProbs.back(), referenceLogProb(*scores, 0.5, best), 1e-4);
        EXPECT_LT(r.logProbs.back(), -0.1f);
    }
}

TEST(GreedyTokenSampler, DrawsFollowTheTopKDistribution) {
    auto s = sampler(1.0f, 2);
    std::mt19937 rng(42);
    s.setRandomSource([&] { return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng); });
    const auto scores = only({{3, std::log(0.75f)}, {11, std::log(0.25f)}});
    int first = 0;
    constexpr int kDraws = 10000;
    for (int i = 0; i < kDraws; ++i) {
        const auto r = s.update({}, *scores, {});
        ASSERT_TRUE(r.tokens.back() == 3 || r.tokens.back() == 11);
        first += r.tokens.back() == 3;
    }
    EXPECT_NEAR(first / double(kDraws), 0.75, 0.02);
}

// The seeded source is what makes fallback text reproducible: the same seed
// gives the same draws, other seeds others, and the draws still follow the
// distribution.
TEST(GreedyTokenSampler, SeededDrawsRepeatPerSeedAndFollowTheDistribution) {
    const auto scores = only({{3, std::log(0.75f)}, {11, std::log(0.25f)}});
    auto draw = [&](std::uint64_t seed) {
        auto s = sampler(1.0f, 2);
        s.setRandomSource(GreedyTokenSampler::seededRandomSource(seed));
        Ids tokens;
        for (int i = 0; i < 4000; ++i) tokens.push_back(s.update({}, *scores, {}).tokens.back());
        return tokens;
    };
    const auto first = draw(7);
    EXPECT_EQ(draw(7), first);
    EXPECT_NE(draw(8), first);
    EXPECT_NEAR(std::count(first.begin(), first.end(), 3) / double(first.size()), 0.75, 0.03);

    auto uniform = GreedyTokenSampler::seededRandomSource(0);
    float lowest = 1, highest = 0;
    for (int i = 0; i < 100000; ++i) {
        const float u = uniform();
        lowest = std::min(lowest, u);
        highest = std::max(highest, u);
    }
    EXPECT_GE(lowest, 0.0f);
    EXPECT_LT(highest, 1.0f);
    EXPECT_LT(lowest, 0.001f);
    EXPECT_GT(highest, 0.999f);
}

TEST(GreedyTokenSampler, HostileKAndScoresEndTheSequenceInsteadOfFailing) {
    auto nan = logits(0.0f);
    nan->setValue(4, NAN);
    struct Case {
        const char* name;
        float temperature;
        std::int64_t topK;
        std::shared_ptr<MLMultiArray> scores;
        bool endsWithMinusInf;
    } cases[] = {
        {"K zero", 0.7f, 0, only({{3, 1.0f}, {8, 0.5f}}), false},
        {"K negative", 0.7f, -3, only({{3, 1.0f}}), false},
        {"K beyond the vocabulary", 0.7f, 10 * kVocab, logits(0.0f), false},
        {"every token forbidden, greedy", 0.0f, 5, logits(kMinusInf), true},
        {"every token forbidden, sampled", 0.9f, 5, logits(kMinusInf), true},
        {"NaN among the scores", 0.0f, 5, nan, true},
    };
    for (auto& c : cases) {
        auto s = sampler(c.temperature, c.topK);
        const auto r = s.update({kSot}, *c.scores, {0.0f});
        ASSERT_EQ(r.tokens.size(), 2u) << c.name;
        EXPECT_GE(r.tokens[1], 0) << c.name;
        EXPECT_LT(r.tokens[1], kVocab) << c.name;
        if (c.endsWithMinusInf) {
            EXPECT_EQ(r.tokens[1], kEot) << c.name;
            EXPECT_TRUE(r.completed) << c.name;
            EXPECT_EQ(r.logProbs[1], kMinusInf) << c.name;
        } else {
            EXPECT_TRUE(std::isfinite(r.logProbs[1])) << c.name;
        }
    }
}

TEST(BeamSearchTokenSamplerDeathTest, IsDeclaredButStopsWhenUsed) {
    EXPECT_DEATH(auralith::BeamSearchTokenSampler(0, kEot, 1.0f),
                 "Invalid beam size 0 or patience");
    auralith::BeamSearchTokenSampler beam(5, kEot, 1.0f);
    EXPECT_EQ(beam.maxCandidates, 5);
    EXPECT_DEATH(beam.update({}, *logits(), {}),
                 "Not implemented: update\\(tokens:logits:logProbs:\\)");
    EXPECT_DEATH(beam.finalize({}, {}), "Not implemented: finalize\\(tokens:logProbs:\\)");
}

// Over a whole vocabulary the arg-max runs through the vector kernels: the
// first of equal maxima still wins wherever the lanes split them, a maximum
// in the scalar tail is found, and a NaN anywhere still ends the sequence.
TEST(GreedyTokenSampler, GreedyArgMaxOverAWholeVocabulary) {
    constexpr std::int64_t kWhole = 51865;
    const auto scores = [&](std::initializer_list<std::pair<std::int64_t, float>> set) {
        auto a = MLMultiArray::make({1, 1, kWhole}, platform::ml::MLMultiArrayDataType::float16);
        for (std::int64_t i = 0; i < kWhole; ++i) a->setValue(i, -3.0f + 0.001f * float(i % 997));
        for (auto [id, v] : set) a->setValue(id, v);
        return a;
    };
    struct Case {
        const char* name;
        std::shared_ptr<MLMultiArray> scores;
        std::int64_t token;  // kEot: no distribution
    } cases[] = {
        {"equal maxima in different lanes", scores({{40001, 5.0f}, {103, 5.0f}, {7, 4.0f}}), 103},
        {"equal maxima in one lane", scores({{9, 5.0f}, {10, 5.0f}}), 9},
        {"maximum in the last element", scores({{kWhole - 1, 5.0f}}), kWhole - 1},
        {"maximum first", scores({{0, 5.0f}}), 0},
        {"a NaN deep in the vector part", scores({{20, 5.0f}, {30000, NAN}}), kEot},
        {"a NaN in the tail", scores({{20, 5.0f}, {kWhole - 2, NAN}}), kEot},
    };
    for (auto& c : cases) {
        auto s = sampler(0.0f);
        const auto r = s.update({kSot}, *c.scores, {0.0f});
        ASSERT_EQ(r.tokens.size(), 2u) << c.name;
        EXPECT_EQ(r.tokens[1], c.token) << c.name;
        EXPECT_EQ(r.completed, c.token == kEot) << c.name;
    }
}
