#pragma once
// A string kept as its UTF-16 code units and compared, ordered and hashed by
// those units alone. Vocabularies and configuration keys use it so that texts
// that are canonically equivalent but spelled differently (precomposed "é"
// versus "e" + U+0301) stay two distinct keys.
//
// Two lengths exist: value().size() counts code units, count() counts
// characters (extended grapheme clusters). Character-level operations decode
// the text on every call; hot paths stay on the unit-level ones.

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vortil {

class BinaryDistinctCharacter {
  public:
    BinaryDistinctCharacter() = default;
    explicit BinaryDistinctCharacter(std::u16string_view bytes) : bytes_(bytes) {}
    BinaryDistinctCharacter(std::string_view text);
    BinaryDistinctCharacter(const char* text) : BinaryDistinctCharacter(std::string_view(text)) {}

    const std::u16string& bytes() const { return bytes_; }
    std::string string() const;
    // BinaryDistinctCharacter('a', bytes: ["0x61"])
    std::string description() const;

    friend bool operator==(const BinaryDistinctCharacter&,
                           const BinaryDistinctCharacter&) = default;

  private:
    std::u16string bytes_;
};

class BinaryDistinctString {
  public:
    BinaryDistinctString() = default;
    explicit BinaryDistinctString(std::u16string units) : value_(std::move(units)) {}
    BinaryDistinctString(std::string_view text);
    BinaryDistinctString(const std::string& text) : BinaryDistinctString(std::string_view(text)) {}
    BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}
    explicit BinaryDistinctString(const BinaryDistinctCharacter& c) : value_(c.bytes()) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& chars);

    const std::u16string& value() const { return value_; }
    std::string string() const;  // decoded; malformed units read as U+FFFD
    std::string description() const { return string(); }

    // Characters, not code units.
    size_t count() const;
    size_t startIndex() const { return 0; }
    size_t endIndex() const { return count(); }

    friend bool operator==(const BinaryDistinctString&, const BinaryDistinctString&) = default;
    // Lexicographic over the units as unsigned 16-bit numbers; shorter prefix first.
    friend std::strong_ordering operator<=>(const BinaryDistinctString& a,
                                            const BinaryDistinctString& b) {
        return a.value_.compare(b.value_) <=> 0;
    }

    friend BinaryDistinctString operator+(const BinaryDistinctString& a,
                                          const BinaryDistinctString& b) {
        return BinaryDistinctString(a.value_ + b.value_);
    }

    bool hasPrefix(const BinaryDistinctString& candidate) const;
    bool hasSuffix(const BinaryDistinctString& candidate) const;

    BinaryDistinctString lowercased() const;
    // Search is by characters under canonical equivalence, as the platform's
    // default (non-literal) string search.
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    // Character positions. Out-of-range results stop the program with
    // "Index out of bounds": they are programming errors of the caller.
    size_t index(long i, long offsetBy) const;
    std::optional<long> index(long i, long offsetBy, long limitedBy) const;

    std::vector<BinaryDistinctCharacter> characters() const;
    BinaryDistinctString slice(long lower, long upper) const;  // [lower, upper)
    BinaryDistinctString slice(long lower) const;              // [lower, count)

  private:
    std::u16string value_;
};

// Feeds the unit count and then every unit, so equal values hash alike.
size_t hashUnits(std::u16string_view units);

}  // namespace vortil

template <>
struct std::hash<vortil::BinaryDistinctString> {
    size_t operator()(const vortil::BinaryDistinctString& s) const noexcept {
        return vortil::hashUnits(s.value());
    }
};

template <>
struct std::hash<vortil::BinaryDistinctCharacter> {
    size_t operator()(const vortil::BinaryDistinctCharacter& c) const noexcept {
        return vortil::hashUnits(c.bytes());
    }
};

namespace vortil {

template <typename V>
using BinaryDistinctDictionary = std::unordered_map<BinaryDistinctString, V>;

// Inserts every incoming pair; where the key is already present the stored
// value becomes strategy(present, incoming). Text keys are taken by their
// UTF-16 units.
template <typename V, typename K, typename Strategy>
void merge(BinaryDistinctDictionary<V>& into, const std::unordered_map<K, V>& other,
           Strategy strategy) {
    for (const auto& [k, v] : other) {
        BinaryDistinctString key(k);
        auto it = into.find(key);
        if (it == into.end())
            into.emplace(std::move(key), v);
        else
            it->second = strategy(it->second, v);
    }
}

template <typename V, typename K, typename Strategy>
BinaryDistinctDictionary<V> merging(const BinaryDistinctDictionary<V>& base,
                                    const std::unordered_map<K, V>& other, Strategy strategy) {
    BinaryDistinctDictionary<V> copy = base;
    merge(copy, other, strategy);
    return copy;
}

}  // namespace vortil
