#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "auralith/core/DecoderTestSupport.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/core/text/SuppressBlankFilter.hpp"
#include "auralith/core/text/SuppressTokensFilter.hpp"
#include "auralith/core/text/TimestampRulesFilter.hpp"
#include "auralith/utilities/WhisperError.hpp"

using namespace dectest;
using auralith::DecodingInputs;
using auralith::DecodingOptions;
using auralith::WhisperError;

namespace {

DecodingOptions options(std::function<void(DecodingOptions&)> edit = {}) {
    auto o = DecodingOptions::defaultSet();
    o.withoutTimestamps = true;
    if (edit) edit(o);
    return o;
}

std::shared_ptr<DecodingInputs> state(ScriptedDecoder& decoder, Ids prompt) {
    auto s = std::dynamic_pointer_cast<DecodingInputs>(decoder.prepareDecoderInputs({kSot}));
    s->setInitialPrompt(std::move(prompt));
    return s;
}

std::string errorText(const std::function<void()>& f) {
    try {
        f();
    } catch (const WhisperError& e) {
        return e.what();
    }
    return "no error";
}

// Text tokens forever, never the end.
ScriptedSampler endless() { return ScriptedSampler({{7, -0.1f}}); }

}  // namespace

TEST(TextDecoderLoop, StepCountsFollowPromptSampleLengthAndCache) {
    struct Case {
        std::size_t prompt;
        std::int64_t sampleLength, cachePositions;
        std::size_t steps, resultTokens;
    } cases[] = {
        {4, 224, 224, 223, 224},  // 223 tokens at most, then the end of text
        {1, 5, 224, 5, 7},       {1, 0, 224, 0, 2},
        {1, 224, 10, 9, 11},  // a short cache bounds the steps, nothing written past it
        {2, -7, 224, 0, 3},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder(c.cachePositions);
        Ids prompt(c.prompt, kNoTimestamps);
        prompt[0] = kSot;
        auto sampler = endless();
        const auto r =
            decoder.decodeText(encoderOutput(), state(decoder, prompt), sampler,
                               options([&](auto& o) { o.sampleLength = c.sampleLength; }));
        EXPECT_EQ(decoder.fed.size(), c.steps) << c.prompt << "/" << c.sampleLength;
        EXPECT_EQ(r.tokens.size(), c.resultTokens) << c.prompt << "/" << c.sampleLength;
        EXPECT_EQ(r.tokens.back(), kEot);
        EXPECT_EQ(decoder.earlyStopActor()->count(), 0u);
    }
}

TEST(TextDecoderLoop, PromptIsForcedAndItsSamplesDiscarded) {
    ScriptedDecoder decoder;
    // The end of text during the prompt is ignored; sampling starts at step 2.
    ScriptedSampler sampler({{kEot, 0.0f}, {9, -0.5f}, {8, -0.2f}, {11, -0.1f}, {kEot, -0.3f}});
    const auto r = decoder.decodeText(encoderOutput(), state(decoder, {kSot, kDe, kTranscribe}),
                                      sampler, options());
    EXPECT_EQ(decoder.fed, (Ids{kSot, kDe, kTranscribe, 8, 11}));
    EXPECT_EQ(decoder.cacheLengths, (Ids{0, 1, 2, 3, 4}));
    EXPECT_EQ(r.tokens, (Ids{kSot, kDe, kTranscribe, 8, 11, kEot}));
    ASSERT_EQ(r.tokenLogProbs.size(), 6u);
    EXPECT_EQ(r.tokenLogProbs[3], (std::map<std::int64_t, float>{{8, -0.2f}}));
    EXPECT_EQ(r.tokenLogProbs[5], (std::map<std::int64_t, float>{{kEot, 0.0f}}));
    EXPECT_FLOAT_EQ(r.avgLogProb, (-0.2f - 0.1f) / 6);
    EXPECT_EQ(r.languageProbs, (std::map<std::string, float>{{"de", 0.0f}}));
}

TEST(TextDecoderLoop, PromptEndAndFirstTokenTable) {
    struct Case {
        const char* name;
        Ids prompt;
        std::vector<std::pair<std::int64_t, float>> script;
        Ids tokens;
        bool firstTokenFallback;
    } cases[] = {
        {"a predicted timestamp replaces the closing prompt timestamp",
         {kSot, kTime},
         {{55, -0.1f}, {7, -0.1f}, {kEot, 0.0f}},
         {kSot, 55, 7, kEot},
         false},
        {"a first token at the threshold is kept",
         {kSot, kNoTimestamps},
         {{0, 0.0f}, {7, -1.5f}, {kEot, 0.0f}},
         {kSot, kNoTimestamps, 7, kEot},
         false},
        {"a first token below the threshold ends the window unkept",
         {kSot, kNoTimestamps},
         {{0, 0.0f}, {7, -1.6f}, {kEot, 0.0f}},
         {kSot, kNoTimestamps, kEot},
         true},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        ScriptedSampler sampler(c.script);
        const auto r =
            decoder.decodeText(encoderOutput(), state(decoder, c.prompt), sampler, options());
        EXPECT_EQ(r.tokens, c.tokens) << c.name;
        const auralith::DecodingFallback firstToken{true, "firstTokenLogProbThreshold"};
        EXPECT_EQ(r.fallback == firstToken, c.firstTokenFallback) << c.name;
    }
}

TEST(TextDecoderLoop, CallbackStopsOnlyOutsideThePromptAndFlagsNeverLeak) {
    struct Case {
        const char* name;
        std::function<std::optional<bool>(const auralith::TranscriptionProgress&)> callback;
        bool stopsEarly;
    } cases[] = {
        {"false after the prompt stops",
         [](const auto& p) -> std::optional<bool> { return p.tokens.size() < 6; }, true},
        {"false during the prompt is ignored",
         [](const auto& p) -> std::optional<bool> { return p.tokens.size() > 3; }, false},
        {"nothing never stops", [](const auto&) -> std::optional<bool> { return std::nullopt; },
         false},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        decoder.stepDelay = std::chrono::milliseconds(1);  // lets a stop land mid-run
        auto sampler = endless();
        std::atomic<int> calls{0};
        const auto r = decoder.decodeText(
            encoderOutput(), state(decoder, {kSot, kEn, kTranscribe, kNoTimestamps}), sampler,
            options([](auto& o) { o.sampleLength = 120; }), [&](const auto& p) {
                ++calls;
                return c.callback(p);
            });
        decoder.drainProgressCallbacks();
        EXPECT_EQ(decoder.fed.size() < 123, c.stopsEarly) << c.name << ": " << decoder.fed.size();
        EXPECT_EQ(calls.load(), static_cast<int>(r.timings->totalKVUpdateRuns)) << c.name;
        EXPECT_EQ(decoder.earlyStopActor()->count(), 0u) << c.name;
    }
}

TEST(TextDecoderLoop, StopFlagIsRemovedWhenTheModelThrows) {
    ScriptedDecoder decoder;
    decoder.throwAtStep = 1;
    auto sampler = endless();
    EXPECT_THROW(decoder.decodeText(encoderOutput(), state(decoder, {kSot}), sampler, options(),
                                    [](const auto&) { return false; }),
                 std::runtime_error);
    decoder.drainProgressCallbacks();
    EXPECT_EQ(decoder.earlyStopActor()->count(), 0u);
}

TEST(TextDecoderLoop, RefusesBadInputsWithTheirMessages) {
    auto sampler = endless();
    struct Case {
        const char* expected;
        std::function<void(ScriptedDecoder&)> run;
    } cases[] = {
        {"Tokenizer is unavailable",
         [&](ScriptedDecoder& d) {
             d.setTokenizer(nullptr);
             d.decodeText(encoderOutput(), state(d, {kSot}), sampler, options());
         }},
        {"Initial prompt must not be empty",
         [&](ScriptedDecoder& d) {
             d.decodeText(encoderOutput(), state(d, {}), sampler, options());
         }},
        {"Input must be MLMultiArray",
         [&](ScriptedDecoder& d) { d.decodeText(nullptr, state(d, {kSot}), sampler, options()); }},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        EXPECT_EQ(errorText([&] { c.run(decoder); }), c.expected);
        EXPECT_EQ(decoder.earlyStopActor()->count(), 0u);
    }
    // No model loaded: the step has nothing to give.
    auralith::TextDecoder plain;
    plain.setTokenizer(std::make_shared<FakeTokenizer>());
    ScriptedDecoder sized;
    EXPECT_EQ(errorText([&] {
                  plain.decodeText(encoderOutput(), state(sized, {kSot}), sampler, options());
              }),
              "Unable to decode logits");
}

TEST(TextDecoder, PrefillBuildsThePromptTable) {
    struct Case {
        const char* name;
        bool multilingual, completeTokenizer;
        std::optional<DecodingOptions> options;
        Ids prompt;
    } cases[] = {
        {"no options", true, true, std::nullopt, {kSot}},
        {"english-only without timestamps", false, true, options(), {kSot, kNoTimestamps}},
        {"english-only with timestamps",
         false,
         true,
         options([](auto& o) { o.withoutTimestamps = false; }),
         {kSot, kTime}},
        {"multilingual without a language",
         true,
         true,
         options(),
         {kSot, kEn, kTranscribe, kNoTimestamps}},
        {"unknown language token",
         true,
         true,
         options([](auto& o) { o.language = "xx"; }),
         {kSot, kEn, kTranscribe, kNoTimestamps}},
        {"translate without its token",
         true,
         false,
         options([](auto& o) { o.task = auralith::DecodingTask::translate; }),
         {kSot, kEn, kTranscribe, kNoTimestamps}},
        {"previous text keeps its text tokens of the last 111",
         false,
         true,
         options([](auto& o) {
             Ids p(150, kSot);
             p[38] = 1;  // outside the last 111
             p[140] = 2;
             p[149] = 3;
             o.promptTokens = p;
         }),
         {kPrev, 2, 3, kSot, kNoTimestamps}},
        {"previous text of control tokens only adds nothing",
         false,
         true,
         options([](auto& o) { o.promptTokens = Ids(150, kTime); }),
         {kSot, kNoTimestamps}},
        {"prefix after the prompt",
         false,
         true,
         options([](auto& o) {
             o.prefixTokens = Ids{4, kTime, 6};
         }),
         {kSot, kNoTimestamps, 4, 6}},
        {"prefix budget behind the longest previous text", false, true, options([](auto& o) {
             o.promptTokens = Ids(200, 1);
             o.prefixTokens = Ids(300, 2);
         }),
         [] {
             Ids p{kPrev};
             p.insert(p.end(), 111, 1);
             p.insert(p.end(), {kSot, kNoTimestamps});
             p.insert(p.end(), 108, 2);  // 222 - 114
             return p;
         }()},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        decoder.setTokenizer(std::make_shared<FakeTokenizer>(c.completeTokenizer));
        decoder.setIsModelMultilingual(c.multilingual);
        auto s = state(decoder, {});
        s->kvCacheUpdateMask()->setValue(0, 0);
        decoder.prefillDecoderInputs(s, c.options);
        EXPECT_EQ(s->initialPrompt(), c.prompt) << c.name;
        EXPECT_EQ(s->kvCacheUpdateMask()->doubleValue(0), 1.0) << c.name;
    }
}

TEST(TextDecoder, CacheCopiesStayInsideTheirArrays) {
    ScriptedDecoder decoder(8);
    auto s = state(decoder, {kSot});
    auto slice = MLMultiArray::make({1, 2, 1, 1}, MLMultiArrayDataType::float16);
    for (auto& x : slice->span<Float16>()) x = 3.0f;
    auto row = MLMultiArray::make({1, 3}, MLMultiArrayDataType::float16);
    for (auto& x : row->span<Float16>()) x = 4.0f;
    const LogCapture log(vortil::Logging::LogLevel::error);
    for (const std::int64_t at : {5L, 8L, -1L, 100L}) {
        auralith::TextDecoding::updateKVCache(*s->keyCache(), *slice, *s->valueCache(), *slice, at);
        auralith::TextDecoding::updateAlignmentWeights(*s->alignmentWeights(), *row, at);
    }
    for (std::int64_t i = 0; i < s->keyCache()->count(); ++i)
        EXPECT_EQ(s->keyCache()->doubleValue(i), i % 8 == 5 ? 3.0 : 0.0) << i;
    for (std::int64_t i = 0; i < s->alignmentWeights()->count(); ++i)
        EXPECT_EQ(s->alignmentWeights()->doubleValue(i), i / 3 == 6 ? 4.0 : 0.0) << i;
    EXPECT_EQ(log.count("updateKVCache: cannot write"), 3u);
    EXPECT_EQ(log.count("updateAlignmentWeights: cannot write"), 3u);
}

TEST(TextDecoder, DebugDumpIsSevenLinesAndReadsRowsByStride) {
    ScriptedDecoder decoder(3);  // fewer positions and a narrower table than a real model
    auto s = state(decoder, {kSot});
    s->alignmentWeights()->setValue(1 * 3, 0.5);
    {
        const LogCapture log;
        decoder.debugCaches(*s, 0);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[0], "--------------- DECODER INPUTS DEBUG ---------------");
        EXPECT_NE(lines[4].find(" 0.500000 |"), std::string::npos) << lines[4];
        EXPECT_NE(lines[6].find("| 3"), std::string::npos) << lines[6];
    }
    const LogCapture info(vortil::Logging::LogLevel::info);
    decoder.debugCaches(*s, 0);
    EXPECT_TRUE(info.lines().empty());
}

TEST(TextDecoder, LogitsFiltersInOrderAndGuardedConversions) {
    ScriptedDecoder decoder;
    auto own = std::make_shared<auralith::SuppressTokensFilter>(Ids{1});
    decoder.setLogitsFilters(std::vector<std::shared_ptr<auralith::LogitsFiltering>>{own});
    const FakeTokenizer tokenizer;
    const auto filters = decoder.createLogitsFilters(options([](auto& o) {
                                                         o.suppressBlank = true;
                                                         o.suppressTokens = {kTime, kEot};
                                                         o.withoutTimestamps = false;
                                                         o.maxInitialTimestamp = NAN;
                                                     }),
                                                     3, tokenizer);
    ASSERT_EQ(filters.size(), 4u);
    EXPECT_EQ(filters[0], own);
    EXPECT_TRUE(dynamic_cast<auralith::SuppressBlankFilter*>(filters[1].get()));
    const auto* suppress = dynamic_cast<auralith::SuppressTokensFilter*>(filters[2].get());
    ASSERT_TRUE(suppress);
    EXPECT_TRUE(suppress->suppressTokens.empty());
    const auto* rules = dynamic_cast<auralith::TimestampRulesFilter*>(filters[3].get());
    ASSERT_TRUE(rules);
    EXPECT_FALSE(rules->maxInitialTimestampIndex);

    for (const float seconds : {INFINITY, -1e30f}) {
        const auto f = decoder.createLogitsFilters(options([&](auto& o) {
                                                       o.withoutTimestamps = false;
                                                       o.maxInitialTimestamp = seconds;
                                                   }),
                                                   3, tokenizer);
        EXPECT_FALSE(
            dynamic_cast<auralith::TimestampRulesFilter&>(*f.back()).maxInitialTimestampIndex);
    }
    decoder.setLogitsFilters(std::nullopt);
    EXPECT_TRUE(decoder.createLogitsFilters(options(), 3, tokenizer).empty());
}

TEST(TextDecoder, DetectLanguageReadsTheLanguageTokenAndSharesOneFilter) {
    struct Case {
        std::vector<std::pair<std::int64_t, float>> script;
        std::string language;
        std::map<std::string, float> probs;
    } cases[] = {
        {{{kDe, -0.3f}}, "de", {{"de", -0.3f}}},
        {{{kUnsupportedLanguage, -0.2f}}, "en", {{"zz", -0.2f}}},
        {{{7, -0.2f}}, "en", {}},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        ScriptedSampler sampler(c.script);
        const auto r = decoder.detectLanguage(encoderOutput(), state(decoder, {kSot}), sampler,
                                              options(), Float16(0.5f));
        EXPECT_EQ(r.language, c.language);
        EXPECT_EQ(r.languageProbs, c.probs);
        EXPECT_TRUE(r.tokens.empty());
        EXPECT_EQ(decoder.fed, (Ids{kSot}));
    }

    // Greedy over the filtered logits: only language tokens can win.
    ScriptedDecoder decoder;
    std::vector<std::thread> threads;
    std::vector<std::string> languages(8);
    for (std::size_t t = 0; t < languages.size(); ++t)
        threads.emplace_back([&, t] {
            auralith::GreedyTokenSampler greedy(Float16(0.0f), kEot, options());
            ScriptedDecoder own;
            languages[t] = decoder
                               .detectLanguage(encoderOutput(), state(own, {kSot}), greedy,
                                               options(), Float16(0.0f))
                               .language;
        });
    for (auto& t : threads) t.join();
    for (const auto& l : languages) EXPECT_EQ(l, "en");
    const auto filter = decoder.languageLogitsFilter();
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->nonLanguageTokenIndexes.size(), static_cast<std::size_t>(kVocab - 3));
    decoder.unloadModel();
    EXPECT_FALSE(decoder.languageLogitsFilter());
}
