#pragma once
// The one error the speech pipeline throws. The kind says which stage failed;
// the message is chosen by the thrower and is the whole user-readable text.
//
// Reading errorDescription() also writes the message to the log at error level,
// so every error a user or a caller's log line sees is in the pipeline's log
// too; reading it twice logs twice. what() returns the same text without
// logging, because test frameworks and std::terminate call it behind our back.

#include <optional>
#include <stdexcept>
#include <string>

namespace auralith {

class WhisperError : public std::runtime_error {
  public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Kind kind, std::string message);

    static WhisperError tokenizerUnavailable(std::string message);
    static WhisperError modelsUnavailable(std::string message);
    static WhisperError audioProcessingFailed(std::string message);
    static WhisperError decodingLogitsFailed(std::string message);
    static WhisperError segmentingFailed(std::string message);
    static WhisperError loadAudioFailed(std::string message);
    static WhisperError prepareDecoderInputsFailed(std::string message);
    static WhisperError transcriptionFailed(std::string message);
    static WhisperError decodingFailed(std::string message);
    static WhisperError microphoneUnavailable(std::string message);
    static WhisperError initializationError(std::string message);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    // The message, after passing it to Logging::error. Never absent.
    std::string errorDescription() const;
    std::string localizedDescription() const { return errorDescription(); }

    // Absent, as the localized-error defaults are.
    std::optional<std::string> failureReason() const { return std::nullopt; }
    std::optional<std::string> recoverySuggestion() const { return std::nullopt; }
    std::optional<std::string> helpAnchor() const { return std::nullopt; }

    // The error-interface code: the kind's position in the enumeration.
    int code() const noexcept { return static_cast<int>(kind_); }

    friend bool operator==(const WhisperError& a, const WhisperError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_;
    }

  private:
    Kind kind_;
    std::string message_;
};

}  // namespace auralith
