#pragma once
// Why the model downloader could not produce a model: its one case,
// modelUnavailable, carries the whole user-readable message.

#include <optional>
#include <stdexcept>
#include <string>

namespace vortil {

class ModelDownloaderError : public std::runtime_error {
  public:
    enum class Kind { modelUnavailable };

    static ModelDownloaderError modelUnavailable(const std::string& message) {
        return ModelDownloaderError(Kind::modelUnavailable, message);
    }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    std::optional<std::string> errorDescription() const { return message_; }

  private:
    ModelDownloaderError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind), message_(message) {}

    Kind kind_;
    std::string message_;
};

}  // namespace vortil
