#pragma once
// The application layer's error object: a domain named after the type that
// raises it ("TranscriptDB", "AudioCapture", "ModelDownloader", ...), a numeric
// code, and the user-facing sentence, which what() returns unchanged.

#include <stdexcept>
#include <string>

namespace platform {

class AppError : public std::runtime_error {
  public:
    AppError(std::string domain, long code, const std::string& message)
        : std::runtime_error(message), domain_(std::move(domain)), code_(code) {}

    const std::string& domain() const noexcept { return domain_; }
    long code() const noexcept { return code_; }
    std::string localizedDescription() const { return what(); }

  private:
    std::string domain_;
    long code_;
};

}  // namespace platform
