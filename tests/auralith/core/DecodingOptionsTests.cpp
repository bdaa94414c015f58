#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/DecodingOptions.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"

using auralith::ChunkingStrategy;
using auralith::DecodingError;
using auralith::DecodingOptions;
using auralith::DecodingTask;
using auralith::EncodingError;
using Json = nlohmann::ordered_json;

namespace {

// The default set as text: every float in its shortest form, optional fields
// that are absent left out.
constexpr const char* kDefaultSetText =
    R"({"verbose":false,"task":{"transcribe":{}},"temperature":0.0,)"
    R"("temperatureIncrementOnFallback":0.2,"temperatureFallbackCount":5,"sampleLength":224,)"
    R"("topK":5,"usePrefillPrompt":true,"detectLanguage":false,"skipSpecialTokens":false,)"
    R"("withoutTimestamps":false,"wordTimestamps":false,"clipTimestamps":[],)"
    R"("windowClipTime":1.0,"suppressBlank":false,"suppressTokens":[],)"
    R"("compressionRatioThreshold":2.4,"logProbThreshold":-1.0,)"
    R"("firstTokenLogProbThreshold":-1.5,"noSpeechThreshold":0.6,"concurrentWorkerCount":16})";

DecodingOptions everyOptionalAbsent() {
    DecodingOptions options = DecodingOptions::defaultSet();
    options.compressionRatioThreshold.reset();
    options.logProbThreshold.reset();
    options.firstTokenLogProbThreshold.reset();
    options.noSpeechThreshold.reset();
    return options;
}

DecodingOptions everyOptionalPresent() {
    return DecodingOptions({.verbose = true,
                            .task = DecodingTask::translate,
                            .language = "de",
                            .temperature = 0.4f,
                            .temperatureIncrementOnFallback = 0.1f,
                            .temperatureFallbackCount = 3,
                            .sampleLength = 100,
                            .topK = 7,
                            .usePrefillPrompt = false,
                            .detectLanguage = false,
                            .skipSpecialTokens = true,
                            .withoutTimestamps = true,
                            .wordTimestamps = true,
                            .maxInitialTimestamp = 1.5f,
                            .maxWindowSeek = 480000,
                            .clipTimestamps = {0.0f, 12.25f, 30.5f},
                            .windowClipTime = 0.75f,
                            .promptTokens = std::vector<std::int64_t>{50361, 123},
                            .prefixTokens = std::vector<std::int64_t>{},
                            .suppressBlank = true,
                            .suppressTokens = std::vector<std::int64_t>{-1, 220},
                            .compressionRatioThreshold = 2.0f,
                            .logProbThreshold = -0.5f,
                            .firstTokenLogProbThreshold = -2.25f,
                            .noSpeechThreshold = 0.3f,
                            .concurrentWorkerCount = 4,
                            .chunkingStrategy = ChunkingStrategy::vad});
}

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

const std::vector<std::string> kRequiredKeys = {"verbose",
                                                "task",
                                                "temperature",
                                                "temperatureIncrementOnFallback",
                                                "temperatureFallbackCount",
                                                "sampleLength",
                                                "topK",
                                                "usePrefillPrompt",
                                                "detectLanguage",
                                                "skipSpecialTokens",
                                                "withoutTimestamps",
                                                "wordTimestamps",
                                                "clipTimestamps",
                                                "windowClipTime",
                                                "suppressBlank",
                                                "suppressTokens",
                                                "concurrentWorkerCount"};

const std::vector<std::string> kOptionalKeys = {"language",          "maxInitialTimestamp",
                                                "maxWindowSeek",     "promptTokens",
                                                "prefixTokens",      "compressionRatioThreshold",
                                                "logProbThreshold",  "firstTokenLogProbThreshold",
                                                "noSpeechThreshold", "chunkingStrategy"};

DecodingError decodeFailure(const Json& json) {
    try {
        DecodingOptions::fromJSON(json);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error: " << json.dump();
    return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

}  // namespace

TEST(DecodingOptions, InitializerDerivesDetectLanguageFromPrefillOnlyWhenAbsent) {
    struct Row {
        bool usePrefillPrompt;
        std::optional<bool> detectLanguage;
        bool expected;
    };
    const Row rows[] = {
        {false, std::nullopt, true}, {true, std::nullopt, false}, {true, true, true},
        {false, false, false},       {true, false, false},        {false, true, true},
    };
    for (const Row& row : rows) {
        DecodingOptions options(
            {.usePrefillPrompt = row.usePrefillPrompt, .detectLanguage = row.detectLanguage});
        EXPECT_EQ(options.detectLanguage, row.expected)
            << "prefill " << row.usePrefillPrompt << " given "
            << (row.detectLanguage ? int(*row.detectLanguage) : -1);
    }
}

TEST(DecodingOptions, InitializerFillsWorkerCountAndSuppressTokensOnlyWhenAbsent) {
    DecodingOptions absent({});
    EXPECT_EQ(absent.concurrentWorkerCount, 16);
    EXPECT_TRUE(absent.suppressTokens.empty());

    DecodingOptions given(
        {.suppressTokens = std::vector<std::int64_t>{1, 2}, .concurrentWorkerCount = 0});
    EXPECT_EQ(given.concurrentWorkerCount, 0);
    EXPECT_EQ(given.suppressTokens, (std::vector<std::int64_t>{1, 2}));
}

TEST(DecodingOptions, DefaultSetEncodesToTheExactText) {
    EXPECT_EQ(DecodingOptions::defaultSet().toJSON().dump(), kDefaultSetText);
}

TEST(DecodingOptions, ApplicationOptionSetKeepsDefaultsAndAppliesTheThreeRules) {
    DecodingOptions options({.language = "en",
                             .temperatureFallbackCount = 2,
                             .skipSpecialTokens = true,
                             .withoutTimestamps = true});
    DecodingOptions expected = DecodingOptions::defaultSet();
    expected.language = "en";
    expected.temperatureFallbackCount = 2;
    expected.skipSpecialTokens = true;
    expected.withoutTimestamps = true;
    EXPECT_EQ(options, expected);
    EXPECT_FALSE(options.detectLanguage);
    EXPECT_TRUE(options.suppressTokens.empty());
    EXPECT_EQ(options.concurrentWorkerCount, 16);
}

TEST(DecodingOptions, AbsentOptionalsWriteExactlyTheSeventeenKeysAndRoundTrip) {
    const DecodingOptions options = everyOptionalAbsent();
    const Json json = options.toJSON();
    EXPECT_EQ(keysOf(json), kRequiredKeys);
    EXPECT_EQ(DecodingOptions::fromJSON(Json::parse(json.dump())), options);
}

TEST(DecodingOptions, PresentOptionalsAreWrittenInFieldOrderAndRoundTrip) {
    const DecodingOptions options = everyOptionalPresent();
    const Json json = options.toJSON();
    const std::vector<std::string> fieldOrder = {"verbose",
                                                 "task",
                                                 "language",
                                                 "temperature",
                                                 "temperatureIncrementOnFallback",
                                                 "temperatureFallbackCount",
                                                 "sampleLength",
                                                 "topK",
                                                 "usePrefillPrompt",
                                                 "detectLanguage",
                                                 "skipSpecialTokens",
                                                 "withoutTimestamps",
                                                 "wordTimestamps",
                                                 "maxInitialTimestamp",
                                                 "maxWindowSeek",
                                                 "clipTimestamps",
                                                 "windowClipTime",
                                                 "promptTokens",
                                                 "prefixTokens",
                                                 "suppressBlank",
                                                 "suppressTokens",
                                                 "compressionRatioThreshold",
                                                 "logProbThreshold",
                                                 "firstTokenLogProbThreshold",
                                                 "noSpeechThreshold",
                                                 "concurrentWorkerCount",
                                                 "chunkingStrategy"};
    EXPECT_EQ(keysOf(json), fieldOrder);
    EXPECT_EQ(json["task"].dump(), R"({"translate":{}})");
    EXPECT_EQ(json["chunkingStrategy"], "vad");
    EXPECT_EQ(json["clipTimestamps"].dump(), "[0.0,12.25,30.5]");
    EXPECT_EQ(json["temperature"].dump(), "0.4");
    EXPECT_EQ(json["prefixTokens"].dump(), "[]");
    EXPECT_EQ(DecodingOptions::fromJSON(Json::parse(json.dump())), options);
}

TEST(DecodingOptions, DecodingStoresValuesWithoutTheInitializerRules) {
    Json json = everyOptionalAbsent().toJSON();
    json["usePrefillPrompt"] = true;
    json["detectLanguage"] = true;
    json["concurrentWorkerCount"] = 0;
    const DecodingOptions options = DecodingOptions::fromJSON(json);
    EXPECT_TRUE(options.usePrefillPrompt);
    EXPECT_TRUE(options.detectLanguage);
    EXPECT_EQ(options.concurrentWorkerCount, 0);
}

TEST(DecodingOptions, EveryPlainKeyIsRequiredWhileOptionalKeysMayBeMissingOrNull) {
    const Json full = everyOptionalPresent().toJSON();
    for (const std::string& key : kRequiredKeys) {
        Json missing = full;
        missing.erase(key);
        DecodingError error = decodeFailure(missing);
        EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << key;
        EXPECT_EQ(error.codingPath(), key);

        Json null = full;
        null[key] = nullptr;
        EXPECT_EQ(decodeFailure(null).kind(), DecodingError::Kind::valueNotFound) << key;
    }
    Json missing = full;
    Json null = full;
    for (const std::string& key : kOptionalKeys) {
        missing.erase(key);
        null[key] = nullptr;
    }
    DecodingOptions expected = everyOptionalPresent();
    expected.language.reset();
    expected.maxInitialTimestamp.reset();
    expected.maxWindowSeek.reset();
    expected.promptTokens.reset();
    expected.prefixTokens.reset();
    expected.compressionRatioThreshold.reset();
    expected.logProbThreshold.reset();
    expected.firstTokenLogProbThreshold.reset();
    expected.noSpeechThreshold.reset();
    expected.chunkingStrategy.reset();
    EXPECT_EQ(DecodingOptions::fromJSON(missing), expected);
    EXPECT_EQ(DecodingOptions::fromJSON(null), expected);
}

TEST(DecodingOptions, TaskNeedsExactlyOneCaseKey) {
    struct Row {
        const char* task;
        std::optional<DecodingTask> expected;
    };
    const Row rows[] = {
        {R"({"transcribe":{}})", DecodingTask::transcribe},
        {R"({"translate":{},"extra":1})", DecodingTask::translate},
        {R"({"translate":{"ignored":true}})", DecodingTask::translate},
        {R"({"transcribe":{},"translate":{}})", std::nullopt},
        {R"({"listen":{}})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const Row& row : rows) {
        Json json = DecodingOptions::defaultSet().toJSON();
        json["task"] = Json::parse(row.task);
        if (row.expected) {
            EXPECT_EQ(DecodingOptions::fromJSON(json).task, *row.expected) << row.task;
        } else {
            DecodingError error = decodeFailure(json);
            EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch) << row.task;
            EXPECT_EQ(error.debugDescription(), "Invalid number of keys found, expected one.");
        }
    }
    for (const char* wrongShape : {R"("transcribe")", R"({"translate":1})", "[]"}) {
        Json json = DecodingOptions::defaultSet().toJSON();
        json["task"] = Json::parse(wrongShape);
        EXPECT_EQ(decodeFailure(json).kind(), DecodingError::Kind::typeMismatch) << wrongShape;
    }
}

TEST(DecodingOptions, ChunkingStrategyRawValuesAreCaseSensitive) {
    EXPECT_EQ(auralith::chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
    EXPECT_EQ(auralith::chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(auralith::chunkingStrategyFromRawValue("VAD"), std::nullopt);
    EXPECT_EQ(auralith::rawValue(ChunkingStrategy::none), "none");

    Json json = DecodingOptions::defaultSet().toJSON();
    json["chunkingStrategy"] = "none";
    EXPECT_EQ(DecodingOptions::fromJSON(json).chunkingStrategy, ChunkingStrategy::none);
    json["chunkingStrategy"] = "VAD";
    EXPECT_EQ(decodeFailure(json).kind(), DecodingError::Kind::dataCorrupted);
    json["chunkingStrategy"] = 1;
    EXPECT_EQ(decodeFailure(json).kind(), DecodingError::Kind::typeMismatch);
}

TEST(DecodingOptions, ValuesOfTheWrongTypeOrRangeFailToDecode) {
    struct Row {
        const char* key;
        Json value;
        DecodingError::Kind kind;
    };
    const Row rows[] = {
        {"verbose", 1, DecodingError::Kind::typeMismatch},
        {"temperature", "0.0", DecodingError::Kind::typeMismatch},
        {"temperature", 1e300, DecodingError::Kind::dataCorrupted},
        {"topK", 2.5, DecodingError::Kind::dataCorrupted},
        {"sampleLength", 18446744073709551615ull, DecodingError::Kind::dataCorrupted},
        {"suppressTokens", Json::parse("[1, \"2\"]"), DecodingError::Kind::typeMismatch},
        {"clipTimestamps", Json::parse("{}"), DecodingError::Kind::typeMismatch},
        {"language", 5, DecodingError::Kind::typeMismatch},
    };
    for (const Row& row : rows) {
        Json json = DecodingOptions::defaultSet().toJSON();
        json[row.key] = row.value;
        EXPECT_EQ(decodeFailure(json).kind(), row.kind) << row.key << " = " << row.value.dump();
    }
    Json json = DecodingOptions::defaultSet().toJSON();
    json["topK"] = 3.0;  // an integral number in another spelling is still that integer
    EXPECT_EQ(DecodingOptions::fromJSON(json).topK, 3);

    DecodingOptions extreme = DecodingOptions::defaultSet();
    extreme.temperature = std::numeric_limits<float>::max();
    extreme.logProbThreshold = -std::numeric_limits<float>::max();
    extreme.clipTimestamps = {std::numeric_limits<float>::max()};
    EXPECT_EQ(DecodingOptions::fromJSON(Json::parse(extreme.toJSON().dump())), extreme);
    EXPECT_EQ(decodeFailure(Json::array()).kind(), DecodingError::Kind::typeMismatch);
}

TEST(DecodingOptions, NonFiniteFloatsCannotBeEncoded) {
    const float nonFinite[] = {std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity()};
    for (float value : nonFinite) {
        DecodingOptions options = DecodingOptions::defaultSet();
        options.clipTimestamps = {0.0f, value};
        EXPECT_THROW(options.toJSON(), EncodingError);
        options = DecodingOptions::defaultSet();
        options.noSpeechThreshold = value;
        try {
            options.toJSON();
            ADD_FAILURE() << "encoded " << value;
        } catch (const EncodingError& error) {
            EXPECT_EQ(error.codingPath(), "noSpeechThreshold");
        }
    }
}

TEST(DecodingOptions, TaskDescriptionsAndCaseOrder) {
    ASSERT_EQ(auralith::allDecodingTasks.size(), 2u);
    EXPECT_EQ(auralith::allDecodingTasks[0], DecodingTask::transcribe);
    EXPECT_EQ(auralith::description(DecodingTask::transcribe), "transcribe");
    EXPECT_EQ(auralith::description(DecodingTask::translate), "translate");
    EXPECT_EQ(auralith::allChunkingStrategies[1], ChunkingStrategy::vad);
}

TEST(DecodingOptions, PrepareSeekClipsUsesTheClipTimestamps) {
    DecodingOptions options = DecodingOptions::defaultSet();
    using Clips = std::vector<std::pair<std::int64_t, std::int64_t>>;
    EXPECT_EQ(options.prepareSeekClips(1000), (Clips{{0, 1000}}));
    options.clipTimestamps = {1.0f, 2.5f, 3.0f};
    EXPECT_EQ(options.prepareSeekClips(90000), (Clips{{16000, 40000}, {48000, 90000}}));
}
