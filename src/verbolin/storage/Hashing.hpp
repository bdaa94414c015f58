#pragma once
// Memberwise hashing for the transcript records: fields are folded in
// declaration order, and an optional adds a presence flag before its value,
// so that an absent value and an empty one hash apart.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// The same folding for what is written to a file and compared by a later
// run, which std::hash does not promise to give alike: 64-bit FNV-1a over
// each field's bytes, a text after its length, so that no two lists of
// fields run together into the same bytes.
class StableHash {
  public:
    StableHash& add(std::string_view bytes) {
        addWord(bytes.size());
        for (const char c : bytes) addByte(static_cast<unsigned char>(c));
        return *this;
    }
    StableHash& add(const std::string& bytes) { return add(std::string_view(bytes)); }
    StableHash& add(bool value) {
        addByte(value ? 1 : 0);
        return *this;
    }
    StableHash& add(const std::optional<std::string>& value) {
        add(value.has_value());
        if (value) add(std::string_view(*value));
        return *this;
    }

    std::uint64_t value() const { return h_; }

  private:
    void addByte(unsigned char byte) {
        h_ ^= byte;
        h_ *= 0x100000001B3ull;
    }
    void addWord(std::uint64_t word) {
        for (int shift = 0; shift < 64; shift += 8)
            addByte(static_cast<unsigned char>(word >> shift));
    }

    std::uint64_t h_ = 0xCBF29CE484222325ull;
};

}  // namespace verbolin
