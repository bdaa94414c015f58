#pragma once
// DecodingError, EncodingError: the errors of the pipeline's JSON forms.
// Decoding distinguishes the four ways a document can fail to be the value
// asked for; encoding fails only on a value that JSON cannot hold (a
// non-finite number).

#include <stdexcept>
#include <string>
#include <string_view>

namespace auralith {

class DecodingError : public std::runtime_error {
  public:
    enum class Kind {
        typeMismatch,   // a value of another JSON type than expected
        valueNotFound,  // a required value is null
        keyNotFound,    // a required key is missing
        dataCorrupted,  // the right type, but not a valid value
    };

    DecodingError(Kind kind, std::string codingPath, std::string debugDescription);

    Kind kind() const noexcept { return kind_; }
    // The key (or "key.nested") where decoding failed; empty at the top level.
    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }

  private:
    Kind kind_;
    std::string codingPath_;
    std::string debugDescription_;
};

std::string_view kindName(DecodingError::Kind kind);

class EncodingError : public std::runtime_error {
  public:
    EncodingError(std::string codingPath, std::string debugDescription);

    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }

  private:
    std::string codingPath_;
    std::string debugDescription_;
};

}  // namespace auralith
