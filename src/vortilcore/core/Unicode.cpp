#include "vortilcore/core/Unicode.hpp"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>
#include <stdexcept>

namespace vortil::unicode {

namespace {

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

bool isAscii(std::u16string_view s) {
    for (char16_t c : s)
        if (c >= 0x80) return false;
    return true;
}

// Every byte below 0xCC means every scalar is below U+0300: no combining
// marks, so the text is already composed and each scalar is a cluster of its
// own (CR LF aside). The byte-level BPE alphabet lives entirely there.
bool belowCombiningMarks(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0xCC) return false;
    return true;
}

// ASCII text splits at every unit except inside CR LF, the one ASCII cluster
// of two units; this spares the break iterator on the common English path.
template <typename S>
std::vector<size_t> asciiBoundaries(S text) {
    std::vector<size_t> out;
    out.reserve(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (i > 0 && text[i] == '\n' && text[i - 1] == '\r') continue;
        out.push_back(i);
    }
    out.push_back(text.size());
    return out;
}

// Creating a character break iterator costs far more than using one, so each
// thread keeps its own.
icu::BreakIterator& characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> it = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> b(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !b)
            throw std::runtime_error("ICU character break iterator unavailable");
        return b;
    }();
    return *it;
}

std::vector<size_t> boundariesOf(UText* ut, size_t length) {
    UErrorCode status = U_ZERO_ERROR;
    icu::BreakIterator& it = characterIterator();
    it.setText(ut, status);
    std::vector<size_t> out;
    if (U_FAILURE(status)) {
        out.push_back(0);
        if (length > 0) out.push_back(length);
        return out;
    }
    for (int32_t p = it.first(); p != icu::BreakIterator::DONE; p = it.next())
        out.push_back(size_t(p));
    if (out.empty() || out.back() != length) out.push_back(length);
    return out;
}

const icu::Normalizer2& normalizerFor(NormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = nullptr;
    switch (form) {
        case NormalizationForm::nfc:
            n = icu::Normalizer2::getNFCInstance(status);
            break;
        case NormalizationForm::nfd:
            n = icu::Normalizer2::getNFDInstance(status);
            break;
        case NormalizationForm::nfkc:
            n = icu::Normalizer2::getNFKCInstance(status);
            break;
        case NormalizationForm::nfkd:
            n = icu::Normalizer2::getNFKDInstance(status);
            break;
    }
    if (U_FAILURE(status) || !n) throw std::runtime_error("ICU normalizer unavailable");
    return *n;
}

std::u16string lowerChunk(std::u16string_view text) {
    if (text.empty()) return {};
    std::u16string out(text.size() + 8, u'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = u_strToLower(reinterpret_cast<UChar*>(out.data()), int32_t(out.size()),
                                 reinterpret_cast<const UChar*>(text.data()), int32_t(text.size()),
                                 "", &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(size_t(n), u'\0');
            continue;
        }
        if (U_FAILURE(status)) return std::u16string(text);
        out.resize(size_t(n));
        return out;
    }
    return std::u16string(text);
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
    std::u16string out;
    if (utf8.empty()) return out;
    if (isAscii(utf8)) {
        out.assign(utf8.begin(), utf8.end());
        return out;
    }
    out.resize(utf8.size());  // UTF-16 never needs more units than UTF-8 has bytes
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), int32_t(out.size()), &len,
                         utf8.data(), int32_t(utf8.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return u"\uFFFD";
    out.resize(size_t(len));
    return out;
}

std::string toUtf8(std::u16string_view utf16) {
    std::string out;
    if (utf16.empty()) return out;
    if (isAscii(utf16)) {
        out.reserve(utf16.size());
        for (char16_t c : utf16) out.push_back(char(c));
        return out;
    }
    out.resize(utf16.size() * 3);
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strToUTF8WithSub(out.data(), int32_t(out.size()), &len,
                       reinterpret_cast<const UChar*>(utf16.data()), int32_t(utf16.size()), 0xFFFD,
                       nullptr, &status);
    if (U_FAILURE(status)) return "\xEF\xBF\xBD";
    out.resize(size_t(len));
    return out;
}

std::vector<size_t> graphemeBoundaries(std::u16string_view text) {
    if (isAscii(text)) return asciiBoundaries(text);
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUChars(nullptr, reinterpret_cast<const UChar*>(text.data()),
                                 int64_t(text.size()), &status);
    auto out = boundariesOf(ut, text.size());
    utext_close(ut);
    return out;
}

std::vector<size_t> graphemeBoundaries(std::string_view utf8) {
    if (isAscii(utf8)) return asciiBoundaries(utf8);
    if (belowCombiningMarks(utf8)) {
        std::vector<size_t> out;
        out.reserve(utf8.size() + 1);
        for (size_t i = 0; i < utf8.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(utf8[i]);
            if (i > 0 && (c & 0xC0) == 0x80) continue;  // continuation byte
            if (i > 0 && c == '\n' && utf8[i - 1] == '\r') continue;
            out.push_back(i);
        }
        out.push_back(utf8.size());
        return out;
    }
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, utf8.data(), int64_t(utf8.size()), &status);
    auto out = boundariesOf(ut, utf8.size());
    utext_close(ut);
    return out;
}

std::vector<std::string> graphemes(std::string_view utf8) {
    auto b = graphemeBoundaries(utf8);
    std::vector<std::string> out;
    out.reserve(b.size());
    for (size_t i = 0; i + 1 < b.size(); ++i) out.emplace_back(utf8.substr(b[i], b[i + 1] - b[i]));
    return out;
}

std::vector<std::u16string> graphemes(std::u16string_view text) {
    auto b = graphemeBoundaries(text);
    std::vector<std::u16string> out;
    out.reserve(b.size());
    for (size_t i = 0; i + 1 < b.size(); ++i) out.emplace_back(text.substr(b[i], b[i + 1] - b[i]));
    return out;
}

size_t graphemeCount(std::u16string_view text) { return graphemeBoundaries(text).size() - 1; }
size_t graphemeCount(std::string_view utf8) { return graphemeBoundaries(utf8).size() - 1; }

size_t nextGraphemeBoundary(std::u16string_view text, size_t offset) {
    if (offset >= text.size()) return text.size();
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUChars(nullptr, reinterpret_cast<const UChar*>(text.data()),
                                 int64_t(text.size()), &status);
    icu::BreakIterator& it = characterIterator();
    it.setText(ut, status);
    int32_t next = U_SUCCESS(status) ? it.following(int32_t(offset)) : icu::BreakIterator::DONE;
    utext_close(ut);
    return next == icu::BreakIterator::DONE ? text.size() : size_t(next);
}

std::string normalized(std::string_view utf8, NormalizationForm form) {
    if (isAscii(utf8)) return std::string(utf8);
    const icu::Normalizer2& n = normalizerFor(form);
    std::string out;
    icu::StringByteSink<std::string> sink(&out, int32_t(utf8.size()));
    UErrorCode status = U_ZERO_ERROR;
    n.normalizeUTF8(0, icu::StringPiece(utf8.data(), int32_t(utf8.size())), sink, nullptr, status);
    if (U_FAILURE(status)) return toUtf8(normalized(toUtf16(utf8), form));
    return out;
}

std::u16string normalized(std::u16string_view text, NormalizationForm form) {
    if (isAscii(text)) return std::u16string(text);
    const icu::Normalizer2& n = normalizerFor(form);
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString src(false, reinterpret_cast<const UChar*>(text.data()),
                           int32_t(text.size()));
    icu::UnicodeString dst = n.normalize(src, status);
    if (U_FAILURE(status)) return std::u16string(text);
    return std::u16string(reinterpret_cast<const char16_t*>(dst.getBuffer()), size_t(dst.length()));
}

std::string nfc(std::string_view utf8) {
    if (belowCombiningMarks(utf8)) return std::string(utf8);
    const icu::Normalizer2& n = normalizerFor(NormalizationForm::nfc);
    UErrorCode status = U_ZERO_ERROR;
    if (n.isNormalizedUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())), status) &&
        U_SUCCESS(status))
        return std::string(utf8);
    return normalized(utf8, NormalizationForm::nfc);
}

std::u16string lowercased(std::u16string_view text) {
    // The root mapping is context-free except for the final form of capital
    // sigma; mapping it on its own keeps every scalar's plain lower case.
    std::u16string out;
    out.reserve(text.size());
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'\u03A3') {
            out += lowerChunk(text.substr(start, i - start));
            if (i < text.size()) out += u'\u03C3';
            start = i + 1;
        }
    }
    return out;
}

std::string lowercased(std::string_view utf8) {
    if (isAscii(utf8)) {
        std::string out(utf8);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return out;
    }
    return toUtf8(lowercased(toUtf16(utf8)));
}

void appendScalar(std::string& out, char32_t v) {
    if (v < 0x80) {
        out.push_back(char(v));
    } else if (v < 0x800) {
        out.push_back(char(0xC0 | (v >> 6)));
        out.push_back(char(0x80 | (v & 0x3F)));
    } else if (v < 0x10000) {
        out.push_back(char(0xE0 | (v >> 12)));
        out.push_back(char(0x80 | ((v >> 6) & 0x3F)));
        out.push_back(char(0x80 | (v & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (v >> 18)));
        out.push_back(char(0x80 | ((v >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((v >> 6) & 0x3F)));
        out.push_back(char(0x80 | (v & 0x3F)));
    }
}

}  // namespace vortil::unicode
