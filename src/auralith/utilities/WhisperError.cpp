#include "auralith/utilities/WhisperError.hpp"

#include <utility>

#include "platform/system/FileRefusal.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

WhisperError::WhisperError(Kind kind, std::string message)
    : std::runtime_error(message), kind_(kind), message_(std::move(message)) {}

WhisperError::WhisperError(Kind kind, std::string message, int systemError)
    : WhisperError(kind, std::move(message)) {
    systemError_ = systemError;
}

WhisperError WhisperError::refused(Kind kind, const std::filesystem::path& path, int systemError) {
    return WhisperError(kind, platform::cannotReadText(path, systemError), systemError);
}

bool WhisperError::systemRefused() const noexcept { return platform::isRefusal(systemError_); }

WhisperError WhisperError::tokenizerUnavailable(std::string message) {
    return WhisperError(Kind::tokenizerUnavailable, std::move(message));
}
WhisperError WhisperError::modelsUnavailable(std::string message) {
    return WhisperError(Kind::modelsUnavailable, std::move(message));
}
WhisperError WhisperError::audioProcessingFailed(std::string message) {
    return WhisperError(Kind::audioProcessingFailed, std::move(message));
}
WhisperError WhisperError::decodingLogitsFailed(std::string message) {
    return WhisperError(Kind::decodingLogitsFailed, std::move(message));
}
WhisperError WhisperError::segmentingFailed(std::string message) {
    return WhisperError(Kind::segmentingFailed, std::move(message));
}
WhisperError WhisperError::loadAudioFailed(std::string message) {
    return WhisperError(Kind::loadAudioFailed, std::move(message));
}
WhisperError WhisperError::prepareDecoderInputsFailed(std::string message) {
    return WhisperError(Kind::prepareDecoderInputsFailed, std::move(message));
}
WhisperError WhisperError::transcriptionFailed(std::string message) {
    return WhisperError(Kind::transcriptionFailed, std::move(message));
}
WhisperError WhisperError::decodingFailed(std::string message) {
    return WhisperError(Kind::decodingFailed, std::move(message));
}
WhisperError WhisperError::microphoneUnavailable(std::string message) {
    return WhisperError(Kind::microphoneUnavailable, std::move(message));
}
WhisperError WhisperError::initializationError(std::string message) {
    return WhisperError(Kind::initializationError, std::move(message));
}

std::string WhisperError::errorDescription() const {
    vortil::Logging::error(message_);
    return message_;
}

}  // namespace auralith
