#pragma once
// The hub client's local-cache failures: offline mode, metadata side files,
// integrity checks and writes. Each case carries one message; the
// description (also what()) is the case's fixed text followed by it.

#include <optional>
#include <stdexcept>
#include <string>

namespace vortil {

class EnvironmentError : public std::runtime_error {
  public:
    enum class Case { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

    static EnvironmentError invalidMetadataError(std::string message) {
        return {Case::invalidMetadataError, "Invalid metadata: ", std::move(message)};
    }
    static EnvironmentError offlineModeError(std::string message) {
        return {Case::offlineModeError, "Offline mode error: ", std::move(message)};
    }
    static EnvironmentError fileIntegrityError(std::string message) {
        return {Case::fileIntegrityError, "File integrity check failed: ", std::move(message)};
    }
    static EnvironmentError fileWriteError(std::string message) {
        return {Case::fileWriteError, "Failed to write file: ", std::move(message)};
    }

    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }
    std::optional<std::string> errorDescription() const { return std::string(what()); }

  private:
    EnvironmentError(Case c, const char* prefix, std::string message)
        : std::runtime_error(prefix + message), case_(c), message_(std::move(message)) {}

    Case case_;
    std::string message_;
};

}  // namespace vortil
