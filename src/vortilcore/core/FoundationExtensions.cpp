#include "vortilcore/core/FoundationExtensions.hpp"

#include <fnmatch.h>
#include <pwd.h>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "platform/system/Paths.hpp"
#include "platform/system/Text.hpp"

namespace vortil {

namespace {

// Break iterators are costly to create; each thread keeps its own.
icu::BreakIterator& characterBreaks() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !it) throw std::runtime_error("ICU character breaks unavailable");
        return it;
    }();
    return *iterator;
}

icu::BreakIterator& sentenceBreaks() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !it) throw std::runtime_error("ICU sentence breaks unavailable");
        return it;
    }();
    return *iterator;
}

icu::UnicodeString nfc(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return text;
    icu::UnicodeString result = normalizer->normalize(text, status);
    return U_FAILURE(status) ? text : result;
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

bool isSentenceEnder(UChar32 c) {
    switch (c) {
        case '.':
        case '!':
        case '?':
        case 0x2026:
        case 0x3002:
        case 0xFF01:
        case 0xFF1F:
            return true;
        default:
            return false;
    }
}

bool isClauseBreak(UChar32 c) {
    switch (c) {
        case ',':
        case ';':
        case ':':
        case '-':
        case 0x2013:
            return true;
        default:
            return false;
    }
}

bool isCloser(UChar32 c) {
    switch (c) {
        case '"':
        case '\'':
        case 0x201D:
        case 0x2019:
        case ')':
        case ']':
        case '}':
        case 0x00BB:
        case 0x300D:
            return true;
        default:
            return false;
    }
}

bool isLineBreak(UChar32 c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// A finished last sentence ends, behind any whitespace and closers, in a
// sentence ender, or has a line break in that trailing stretch.
bool isFinishedSentence(const icu::UnicodeString& text, int32_t start, int32_t end) {
    bool lineBreak = false;
    int32_t p = end;
    while (p > start) {
        int32_t previous = text.moveIndex32(p, -1);
        UChar32 c = text.char32At(previous);
        if (!platform::text::isWhiteSpace(char32_t(c)) && !isCloser(c))
            return isSentenceEnder(c) || lineBreak;
        if (isLineBreak(c)) lineBreak = true;
        p = previous;
    }
    return end > start && lineBreak;
}

std::string expandingTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    size_t slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    std::string home;
    if (user.empty()) {
        home = platform::homeDirectory().string();
    } else {
        long size = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
            return path;  // an unknown user leaves the path as it is
        }
        home = found->pw_dir;
    }
    if (home.empty()) return path;
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home == "/" && !rest.empty()) return rest;
    return home + rest;
}

}  // namespace

std::vector<std::string> matching(const std::vector<std::string>& elements,
                                  const std::string& glob) {
    std::vector<std::string> result;
    for (const std::string& element : elements) {
        if (fnmatch(glob.c_str(), element.c_str(), 0) == 0) result.push_back(element);
    }
    return result;
}

std::string trimmingFromEnd(const std::string& text, const std::string& character, int upto) {
    if (upto < 1 || text.empty()) return text;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    icu::UnicodeString target = nfc(icu::UnicodeString::fromUTF8(character));
    icu::BreakIterator& breaks = characterBreaks();
    breaks.setText(u);
    int32_t end = u.length();
    for (int removed = 0; removed < upto && end > 0; ++removed) {
        int32_t start = breaks.preceding(end);
        if (start == icu::BreakIterator::DONE) start = 0;
        if (nfc(u.tempSubStringBetween(start, end)) != target) break;
        end = start;
    }
    if (end == u.length()) return text;
    return utf8(u.tempSubStringBetween(0, end));
}

float rounded(float value, int places) {
    float factor = std::pow(10.0f, static_cast<float>(places));
    return std::round(value * factor) / factor;
}

std::optional<std::string> lastNaturalBoundary(
    const std::string& text, int minTokenCount,
    const std::function<std::vector<int>(const std::string&)>& encode) {
    const icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    const int32_t length = u.length();
    auto qualifies = [&](int32_t end) {
        const std::string head = utf8(u.tempSubStringBetween(0, end));
        const std::string_view trimmed =
            platform::text::trimmedScalars(head, platform::text::isWhiteSpace);
        return static_cast<long long>(encode(std::string(trimmed)).size()) >= minTokenCount;
    };
    auto prefix = [&](int32_t end) { return utf8(u.tempSubStringBetween(0, end)); };

    // Sentences, last to first; the last one only when it is finished.
    icu::BreakIterator& sentences = sentenceBreaks();
    sentences.setText(u);
    std::vector<int32_t> bounds;
    for (int32_t b = sentences.first(); b != icu::BreakIterator::DONE; b = sentences.next()) {
        bounds.push_back(b);
    }
    for (size_t i = bounds.size(); i-- > 1;) {
        int32_t start = bounds[i - 1], end = bounds[i];
        bool last = i == bounds.size() - 1;
        if (last && !isFinishedSentence(u, start, end)) continue;
        if (qualifies(end)) return prefix(end);
    }

    // Clause breaks followed by whitespace or the end, last to first. The
    // boundaries are taken first: encode may use this thread's iterator too.
    icu::BreakIterator& characters = characterBreaks();
    characters.setText(u);
    std::vector<int32_t> characterBounds;
    for (int32_t b = characters.first(); b != icu::BreakIterator::DONE; b = characters.next()) {
        characterBounds.push_back(b);
    }
    for (size_t i = characterBounds.size(); i-- > 1;) {
        int32_t start = characterBounds[i - 1], end = characterBounds[i];
        bool single = u.moveIndex32(start, 1) == end;
        bool followedBySpace =
            end == length || platform::text::isWhiteSpace(char32_t(u.char32At(end)));
        if (single && isClauseBreak(u.char32At(start)) && followedBySpace && qualifies(end)) {
            return prefix(end);
        }
    }

    // The text before its last space.
    int32_t space = u.lastIndexOf(static_cast<char16_t>(' '));
    if (space >= 0 && qualifies(space)) return prefix(space);
    return std::nullopt;
}

std::string resolveAbsolutePath(const std::string& path) {
    std::string expanded = expandingTilde(path);
    if (!expanded.empty() && expanded[0] == '/') return expanded;
    std::error_code error;
    std::string directory = std::filesystem::current_path(error).string();
    if (error || directory.empty()) return expanded;
    std::string joined = directory;
    if (joined.back() != '/') joined += '/';
    joined += expanded;
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    return joined;
}

}  // namespace vortil
