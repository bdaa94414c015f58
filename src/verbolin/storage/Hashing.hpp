#pragma once
// Memberwise hashing for the transcript records: fields are folded in
// declaration order, and an optional adds a presence flag before its value,
// so that an absent value and an empty one hash apart.

#include <cstddef>
#include <functional>
#include <optional>

namespace verbolin {

class HashBuilder {
  public:
    template <class T>
    HashBuilder& add(const T& value) {
        mix(std::hash<T>{}(value));
        return *this;
    }

    template <class T>
    HashBuilder& add(const std::optional<T>& value) {
        mix(value.has_value() ? 1 : 0);
        if (value) add(*value);
        return *this;
    }

    size_t value() const { return h_; }

  private:
    void mix(size_t v) { h_ ^= v + 0x9E3779B97F4A7C15ull + (h_ << 6) + (h_ >> 2); }

    size_t h_ = 0xCBF29CE484222325ull;
};

}  // namespace verbolin
