#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"

using auralith::WhisperError;
using Level = vortil::Logging::LogLevel;

namespace {

class WhisperErrorTest : public auralith::testing::LogCaptureTest {};

}  // namespace

TEST_F(WhisperErrorTest, EqualWhenKindAndMessageAreEqual) {
    EXPECT_EQ(WhisperError::transcriptionFailed("x"), WhisperError::transcriptionFailed("x"));
    EXPECT_NE(WhisperError::transcriptionFailed("x"), WhisperError::decodingFailed("x"));
    EXPECT_NE(WhisperError::transcriptionFailed("x"), WhisperError::transcriptionFailed("y"));
    EXPECT_NE(WhisperError::transcriptionFailed("x"), WhisperError::transcriptionFailed("x "));
}

TEST_F(WhisperErrorTest, EachFactoryMakesItsKindInDeclarationOrder) {
    using Make = std::function<WhisperError(std::string)>;
    const std::vector<std::pair<Make, WhisperError::Kind>> cases = {
        {WhisperError::tokenizerUnavailable, WhisperError::Kind::tokenizerUnavailable},
        {WhisperError::modelsUnavailable, WhisperError::Kind::modelsUnavailable},
        {WhisperError::audioProcessingFailed, WhisperError::Kind::audioProcessingFailed},
        {WhisperError::decodingLogitsFailed, WhisperError::Kind::decodingLogitsFailed},
        {WhisperError::segmentingFailed, WhisperError::Kind::segmentingFailed},
        {WhisperError::loadAudioFailed, WhisperError::Kind::loadAudioFailed},
        {WhisperError::prepareDecoderInputsFailed, WhisperError::Kind::prepareDecoderInputsFailed},
        {WhisperError::transcriptionFailed, WhisperError::Kind::transcriptionFailed},
        {WhisperError::decodingFailed, WhisperError::Kind::decodingFailed},
        {WhisperError::microphoneUnavailable, WhisperError::Kind::microphoneUnavailable},
        {WhisperError::initializationError, WhisperError::Kind::initializationError},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const WhisperError e = cases[i].first("m" + std::to_string(i));
        EXPECT_EQ(e.kind(), cases[i].second);
        EXPECT_EQ(e.code(), static_cast<int>(i));
        EXPECT_EQ(e.message(), "m" + std::to_string(i));
        EXPECT_STREQ(e.what(), e.message().c_str());
        EXPECT_FALSE(e.failureReason() || e.recoverySuggestion() || e.helpAnchor());
    }
}

TEST_F(WhisperErrorTest, DescriptionIsTheMessageAndIsLoggedOnEveryRead) {
    const auto error = WhisperError::loadAudioFailed("Audio buffer is missing float channel data");

    capture(Level::none);
    EXPECT_EQ(error.errorDescription(), "Audio buffer is missing float channel data");
    EXPECT_TRUE(taken().empty());

    capture(Level::error);
    EXPECT_EQ(error.errorDescription(), "Audio buffer is missing float channel data");
    EXPECT_EQ(error.localizedDescription(), "Audio buffer is missing float channel data");
    EXPECT_EQ(taken(), (std::vector<std::string>{"Audio buffer is missing float channel data",
                                                 "Audio buffer is missing float channel data"}));
}

TEST_F(WhisperErrorTest, WhatNeverLogs) {
    capture(Level::debug);
    const auto error = WhisperError::modelsUnavailable("Models are unavailable");
    try {
        throw error;
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Models are unavailable");
    }
    EXPECT_TRUE(taken().empty());
}
