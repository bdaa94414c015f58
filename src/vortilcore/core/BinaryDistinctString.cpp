#include "vortilcore/core/BinaryDistinctString.hpp"

#include <cstdio>
#include <cstdlib>

#include "platform/system/FatalError.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace vortil {

namespace {

[[noreturn]] void indexOutOfBounds() { platform::fatalError("Index out of bounds"); }

}  // namespace

size_t hashUnits(std::u16string_view units) {
    // FNV-1a over the count and the units.
    uint64_t h = 0xcbf29ce484222325ull;
    auto feed = [&h](uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            h ^= (v >> (i * 8)) & 0xFF;
            h *= 0x100000001b3ull;
        }
    };
    feed(units.size());
    for (char16_t u : units) {
        h ^= uint64_t(u);
        h *= 0x100000001b3ull;
    }
    return size_t(h);
}

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text)
    : bytes_(unicode::toUtf16(text)) {}

std::string BinaryDistinctCharacter::string() const { return unicode::toUtf8(bytes_); }

std::string BinaryDistinctCharacter::description() const {
    std::string out = "BinaryDistinctCharacter('" + string() + "', bytes: [";
    for (size_t i = 0; i < bytes_.size(); ++i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\"0x%02X\"", unsigned(bytes_[i]));
        if (i > 0) out += ", ";
        out += buf;
    }
    return out + "])";
}

BinaryDistinctString::BinaryDistinctString(std::string_view text)
    : value_(unicode::toUtf16(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& chars) {
    for (const auto& c : chars) value_ += c.bytes();
}

std::string BinaryDistinctString::string() const { return unicode::toUtf8(value_); }

size_t BinaryDistinctString::count() const {
    return unicode::graphemeCount(std::u16string_view(value_));
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& candidate) const {
    if (candidate.value_.size() > value_.size()) return false;
    return value_.compare(0, candidate.value_.size(), candidate.value_) == 0;
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& candidate) const {
    if (candidate.value_.size() > value_.size()) return false;
    return value_.compare(value_.size() - candidate.value_.size(), candidate.value_.size(),
                          candidate.value_) == 0;
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    return BinaryDistinctString(unicode::lowercased(std::u16string_view(value_)));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(
    const BinaryDistinctString& target, const BinaryDistinctString& replacement) const {
    // Go through decoded text so malformed units behave as they do in string().
    std::u16string text = unicode::toUtf16(string());
    std::u16string needle = unicode::toUtf16(target.string());
    std::u16string with = unicode::toUtf16(replacement.string());
    if (needle.empty() || text.empty()) return BinaryDistinctString(text);

    // Compare whole characters in their canonical decomposition, so a match
    // never starts or ends inside a character and equivalent spellings match.
    auto keys = [](std::u16string_view s) {
        std::vector<std::u16string> out;
        for (auto& g : unicode::graphemes(s))
            out.push_back(unicode::normalized(g, unicode::NormalizationForm::nfd));
        return out;
    };
    auto hay = unicode::graphemes(std::u16string_view(text));
    std::vector<std::u16string> hayKeys;
    hayKeys.reserve(hay.size());
    for (auto& g : hay) hayKeys.push_back(unicode::normalized(g, unicode::NormalizationForm::nfd));
    auto needleKeys = keys(needle);

    std::u16string out;
    size_t i = 0;
    while (i < hay.size()) {
        bool hit = i + needleKeys.size() <= hay.size();
        for (size_t k = 0; hit && k < needleKeys.size(); ++k) hit = hayKeys[i + k] == needleKeys[k];
        if (hit) {
            out += with;
            i += needleKeys.size();
        } else {
            out += hay[i];
            ++i;
        }
    }
    return BinaryDistinctString(out);
}

size_t BinaryDistinctString::index(long i, long offsetBy) const {
    long r = i + offsetBy;
    if (r < 0 || r > long(count())) indexOutOfBounds();
    return size_t(r);
}

std::optional<long> BinaryDistinctString::index(long i, long offsetBy, long limitedBy) const {
    long r = i + offsetBy;
    if (r > limitedBy) return std::nullopt;
    return r;
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    std::vector<BinaryDistinctCharacter> out;
    auto b = unicode::graphemeBoundaries(std::u16string_view(value_));
    for (size_t k = 0; k + 1 < b.size(); ++k)
        out.emplace_back(std::u16string_view(value_).substr(b[k], b[k + 1] - b[k]));
    return out;
}

BinaryDistinctString BinaryDistinctString::slice(long lower, long upper) const {
    auto b = unicode::graphemeBoundaries(std::u16string_view(value_));
    long n = long(b.size()) - 1;
    if (lower < 0 || upper > n || lower > upper) indexOutOfBounds();
    return BinaryDistinctString(
        value_.substr(b[size_t(lower)], b[size_t(upper)] - b[size_t(lower)]));
}

BinaryDistinctString BinaryDistinctString::slice(long lower) const {
    long n = long(count());
    if (lower < 0 || lower > n) indexOutOfBounds();
    return slice(lower, n);
}

}  // namespace vortil
