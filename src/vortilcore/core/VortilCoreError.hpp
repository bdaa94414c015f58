#pragma once
// The support library's own error. Its one kind, invalidConfiguration, carries
// a complete user-readable message chosen by the thrower; the description is
// that message with nothing added.

#include <optional>
#include <stdexcept>
#include <string>

namespace vortil {

class VortilCoreError : public std::runtime_error {
  public:
    enum class Kind { invalidConfiguration };

    static VortilCoreError invalidConfiguration(const std::string& message) {
        return VortilCoreError(Kind::invalidConfiguration, message);
    }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    // Never empty for this type; optional only to match the localized-error contract.
    std::optional<std::string> errorDescription() const { return message_; }
    std::string localizedDescription() const { return message_; }

    friend bool operator==(const VortilCoreError& a, const VortilCoreError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_;
    }

  private:
    VortilCoreError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind), message_(message) {}

    Kind kind_;
    std::string message_;
};

}  // namespace vortil
