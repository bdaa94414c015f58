#pragma once
// The one error the speech pipeline throws. The kind says which stage failed;
// the message is chosen by the thrower and is the whole user-readable text.
//
// Reading errorDescription() also writes the message to the log at error level,
// so every error a user or a caller's log line sees is in the pipeline's log
// too; reading it twice logs twice. what() returns the same text without
// logging, because test frameworks and std::terminate call it behind our back.

#include <filesystem>
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
    // A file the system would not let the pipeline look at or read:
    // `systemError` is its errno, and the message names the file and ends
    // with the system's words for it.
    WhisperError(Kind kind, std::string message, int systemError);
    // The system's refusal `systemError` met on the way to `path`, as above:
    // "Cannot read <what was refused>: <the system's reason>".
    static WhisperError refused(Kind kind, const std::filesystem::path& path, int systemError);

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
    // The errno of the refusal behind the error; 0 for any other fault.
    int systemError() const noexcept { return systemError_; }
    // Whether the system refused to look at or read a file that is there
    // and may well be sound (no permission, an I/O error), as against one
    // that is missing or holds something wrong: another copy of it would
    // meet the same refusal.
    bool systemRefused() const noexcept;

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
    int systemError_ = 0;
};

}  // namespace auralith
