#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "auralith/core/TranscriptionTimings.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"

using auralith::TranscriptionTimings;

TEST(TranscriptionTimingsTest, DefaultsAndRatesDivideWithoutGuard) {
    const TranscriptionTimings t;
    EXPECT_EQ(t.pipelineStart, std::numeric_limits<double>::max());
    EXPECT_EQ(t.firstTokenTime, std::numeric_limits<double>::max());
    EXPECT_EQ(t.inputAudioSeconds, 0.001);
    for (size_t i = 3; i < TranscriptionTimings::fields().size(); ++i) {
        EXPECT_EQ(t.*TranscriptionTimings::fields()[i].second, 0.0)
            << TranscriptionTimings::fields()[i].first;
    }
    EXPECT_EQ(t.realTimeFactor(), 0.0);
    EXPECT_FALSE(std::isfinite(t.tokensPerSecond()));
    EXPECT_FALSE(std::isfinite(t.speedFactor()));
}

TEST(TranscriptionTimingsTest, InitializerTakesTheLastThirtyFieldsInOrder) {
    // Argument k holds k + 1, so each field shows which argument reached it.
    const TranscriptionTimings t(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30);
    const auto& fields = TranscriptionTimings::fields();
    for (size_t i = 3; i < fields.size(); ++i) {
        EXPECT_EQ(t.*fields[i].second, static_cast<double>(i - 2)) << fields[i].first;
    }
    EXPECT_EQ(t.decodingWordTimestamps, 20.0);  // labelled decodingTimestampAlignment
    EXPECT_EQ(t.pipelineStart, std::numeric_limits<double>::max());
    EXPECT_EQ(t.inputAudioSeconds, 0.001);
}

TEST(TranscriptionTimingsTest, JsonHasAllKeysInFieldOrderAndRoundTrips) {
    TranscriptionTimings t;
    t.fullPipeline = 2.5;
    t.totalDecodingLoops = 12;
    t.pipelineStart = 1700000000.125;
    const nlohmann::ordered_json j = t;
    // Written out here rather than taken from the field table, so that a
    // renamed or reordered field shows up as a changed file format.
    const std::vector<std::string> keys = {"pipelineStart",
                                           "firstTokenTime",
                                           "inputAudioSeconds",
                                           "modelLoading",
                                           "prewarmLoadTime",
                                           "encoderLoadTime",
                                           "decoderLoadTime",
                                           "encoderSpecializationTime",
                                           "decoderSpecializationTime",
                                           "tokenizerLoadTime",
                                           "audioLoading",
                                           "audioProcessing",
                                           "logmels",
                                           "encoding",
                                           "decodingInit",
                                           "decodingLoop",
                                           "decodingPredictions",
                                           "decodingFiltering",
                                           "decodingSampling",
                                           "decodingFallback",
                                           "decodingWindowing",
                                           "decodingKvCaching",
                                           "decodingWordTimestamps",
                                           "decodingNonPrediction",
                                           "totalAudioProcessingRuns",
                                           "totalLogmelRuns",
                                           "totalEncodingRuns",
                                           "totalDecodingLoops",
                                           "totalKVUpdateRuns",
                                           "totalTimestampAlignmentRuns",
                                           "totalDecodingFallbacks",
                                           "totalDecodingWindows",
                                           "fullPipeline"};
    std::vector<std::string> written;
    for (const auto& [key, value] : j.items()) written.push_back(key);
    EXPECT_EQ(written, keys);
    EXPECT_TRUE(j.dump().starts_with(
        R"({"pipelineStart":1700000000.125,"firstTokenTime":1.7976931348623157e+308,"inputAudioSeconds":0.001,)"))
        << j.dump();
    EXPECT_EQ(j.at("inputAudioSeconds").dump(), "0.001");
    EXPECT_EQ(j.get<TranscriptionTimings>(), t);
    EXPECT_EQ(nlohmann::json::parse(j.dump()).get<TranscriptionTimings>(), t);
}

TEST(TranscriptionTimingsTest, DecodingFailsWithoutAnyOneKey) {
    const nlohmann::json full = TranscriptionTimings();
    for (const auto& [key, field] : TranscriptionTimings::fields()) {
        nlohmann::json j = full;
        j.erase(key);
        try {
            (void)j.get<TranscriptionTimings>();
            ADD_FAILURE() << key << " was not required";
        } catch (const auralith::DecodingError& error) {
            EXPECT_EQ(error.kind(), auralith::DecodingError::Kind::keyNotFound) << key;
            EXPECT_EQ(error.codingPath(), key);
        }
    }
}

TEST(TranscriptionTimingsTest, NonFiniteValuesAreNotWrittenAsNull) {
    TranscriptionTimings t;
    t.decodingLoop = std::nan("");
    EXPECT_THROW(nlohmann::json j = t, auralith::EncodingError);
    t.decodingLoop = std::numeric_limits<double>::infinity();
    EXPECT_THROW(nlohmann::ordered_json j = t, auralith::EncodingError);
}
