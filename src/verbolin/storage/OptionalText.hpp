#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace verbolin {

// Text that most records lack, such as a segment's words before its first
// edit: held behind a pointer, so that a record without it pays 8 bytes
// where a std::optional<std::string> takes 40, across the hundreds of
// thousands of segments of years of dictation. Reads and compares as that
// optional does; copies are deep.
class OptionalText {
  public:
    OptionalText() = default;
    OptionalText(std::nullopt_t) {}  // NOLINT: reads as the optional it stands for
    OptionalText(std::string text)   // NOLINT
        : text_(std::make_unique<std::string>(std::move(text))) {}
    OptionalText(const char* text) : OptionalText(std::string(text)) {}  // NOLINT
    OptionalText(std::optional<std::string> text) {                      // NOLINT
        if (text) text_ = std::make_unique<std::string>(std::move(*text));
    }
    OptionalText(const OptionalText& other)
        : text_(other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr) {}
    OptionalText(OptionalText&&) noexcept = default;
    OptionalText& operator=(const OptionalText& other) {
        if (this != &other)
            text_ = other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr;
        return *this;
    }
    OptionalText& operator=(OptionalText&&) noexcept = default;
    ~OptionalText() = default;

    bool has_value() const { return text_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    const std::string& operator*() const { return *text_; }
    std::string& operator*() { return *text_; }
    const std::string* operator->() const { return text_.get(); }
    std::string* operator->() { return text_.get(); }
    const std::string& value() const {
        if (!text_) throw std::bad_optional_access();
        return *text_;
    }
    std::string value_or(std::string fallback) const {
        return text_ ? *text_ : std::move(fallback);
    }
    void reset() { text_.reset(); }
    operator std::optional<std::string>() const {  // NOLINT
        return text_ ? std::optional<std::string>(*text_) : std::nullopt;
    }

    friend bool operator==(const OptionalText& a, const OptionalText& b) {
        return a.text_ ? b.text_ && *a.text_ == *b.text_ : !b.text_;
    }
    friend bool operator==(const OptionalText& a, const std::optional<std::string>& b) {
        return a.text_ ? b && *a.text_ == *b : !b;
    }
    friend bool operator==(const OptionalText& a, const std::string& b) {
        return a.text_ && *a.text_ == b;
    }
    friend bool operator==(const OptionalText& a, const char* b) {
        return a.text_ && *a.text_ == b;
    }
    friend bool operator==(const OptionalText& a, std::nullopt_t) { return !a.text_; }

  private:
    std::unique_ptr<std::string> text_;
};

}  // namespace verbolin
