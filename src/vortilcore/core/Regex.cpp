#include "vortilcore/core/Regex.hpp"

#include <unicode/regex.h>
#include <unicode/utext.h>

#include <climits>

#include "vortilcore/core/Unicode.hpp"

namespace vortil {

struct Regex::Compiled {
    std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

UTextPtr openText(std::u16string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    UText* t = utext_openUChars(nullptr, reinterpret_cast<const UChar*>(text.data()),
                                int64_t(text.size()), &status);
    if (U_FAILURE(status)) throw RegexError("cannot open text for matching");
    return UTextPtr(t);
}

Regex::Match currentMatch(icu::RegexMatcher& m) {
    UErrorCode status = U_ZERO_ERROR;
    Regex::Match out;
    out.begin = size_t(m.start64(status));
    out.end = size_t(m.end64(status));
    int32_t groups = m.groupCount();
    out.groups.resize(size_t(groups) + 1);
    for (int32_t g = 0; g <= groups; ++g) {
        int64_t s = m.start64(g, status);
        int64_t e = m.end64(g, status);
        if (U_SUCCESS(status) && s >= 0 && e >= 0)
            out.groups[size_t(g)] = std::make_pair(size_t(s), size_t(e));
    }
    return out;
}

// ICU's default backtrack stack (8 MB) runs out on long runs of one class,
// e.g. `\s+(?!\S)` over some 400,000 spaces, and find() then simply fails.
// The stack a pattern needs grows with the text, so the limit does too.
constexpr int32_t kMinStackBytes = 8 << 20;
constexpr int64_t kStackBytesPerUnit = 256;

int32_t stackLimitFor(size_t textLength) {
    int64_t want = int64_t(textLength) * kStackBytesPerUnit;
    if (want <= kMinStackBytes) return kMinStackBytes;
    return want >= INT32_MAX ? 0 : int32_t(want);  // 0: no limit
}

}  // namespace

std::unique_ptr<icu::RegexMatcher> Regex::matcherFor(size_t textLength) const {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(compiled_->pattern->matcher(status));
    if (U_FAILURE(status)) throw RegexError("cannot create a matcher for " + pattern_);
    m->setStackLimit(stackLimitFor(textLength), status);
    if (timeLimit_ > 0) m->setTimeLimit(timeLimit_, status);
    if (U_FAILURE(status)) throw RegexError("cannot set up a matcher for " + pattern_);
    return m;
}

void Regex::check(UErrorCode status) const {
    if (status == U_REGEX_TIME_OUT) throw RegexError("matching " + pattern_ + " took too long");
    if (U_FAILURE(status))
        throw RegexError("matching " + pattern_ + " failed: " + u_errorName(status));
}

Regex::Regex(std::string_view pattern, int32_t timeLimit)
    : pattern_(pattern), timeLimit_(timeLimit) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::u16string p = unicode::toUtf16(pattern);
    icu::UnicodeString source(false, reinterpret_cast<const UChar*>(p.data()), int32_t(p.size()));
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(source, 0, parseError, status));
    if (U_FAILURE(status) || !compiled)
        throw RegexError("cannot compile regular expression " + std::string(pattern) + ": " +
                         u_errorName(status));
    compiled_ = std::make_shared<const Compiled>(Compiled{std::move(compiled)});
}

Regex::~Regex() = default;

std::optional<Regex> Regex::tryCompile(std::string_view pattern, int32_t timeLimit) {
    try {
        return Regex(pattern, timeLimit);
    } catch (const RegexError&) {
        return std::nullopt;
    }
}

std::vector<Regex::Match> Regex::matches(std::u16string_view text) const {
    std::vector<Match> out;
    UErrorCode status = U_ZERO_ERROR;
    auto m = matcherFor(text.size());
    UTextPtr t = openText(text);
    m->reset(t.get());
    // ICU's find() steps past an empty match by itself, so this loop ends.
    while (m->find(status)) out.push_back(currentMatch(*m));
    check(status);
    return out;
}

std::vector<std::pair<size_t, size_t>> Regex::matchRanges(std::u16string_view text) const {
    std::vector<std::pair<size_t, size_t>> out;
    UErrorCode status = U_ZERO_ERROR;
    auto m = matcherFor(text.size());
    UTextPtr t = openText(text);
    m->reset(t.get());
    while (m->find(status)) out.emplace_back(size_t(m->start64(status)), size_t(m->end64(status)));
    check(status);
    return out;
}

std::vector<Regex::Match> Regex::successiveMatches(std::u16string_view text) const {
    std::vector<Match> out;
    UErrorCode status = U_ZERO_ERROR;
    auto m = matcherFor(text.size());
    UTextPtr t = openText(text);
    m->reset(t.get());
    size_t start = 0;
    // An empty remainder is not searched, so no empty hit trails the text.
    while (start < text.size()) {
        m->region(int64_t(start), int64_t(text.size()), status);
        check(status);
        bool found = m->find(status);
        check(status);
        if (!found) break;
        Match hit = currentMatch(*m);
        start = hit.end > hit.begin ? hit.end : unicode::nextGraphemeBoundary(text, hit.end);
        out.push_back(std::move(hit));
    }
    return out;
}

std::u16string Regex::replacingMatches(std::u16string_view text,
                                       std::u16string_view replacementTemplate) const {
    UErrorCode status = U_ZERO_ERROR;
    auto m = matcherFor(text.size());
    icu::UnicodeString input(false, reinterpret_cast<const UChar*>(text.data()),
                             int32_t(text.size()));
    // Template dialect: "$" followed by digits names a group and a backslash
    // quotes the next character; any other "$" is a plain dollar sign, which
    // ICU would otherwise reject as a malformed group reference.
    std::u16string templ;
    templ.reserve(replacementTemplate.size());
    for (size_t i = 0; i < replacementTemplate.size(); ++i) {
        char16_t c = replacementTemplate[i];
        if (c == u'\\' && i + 1 < replacementTemplate.size()) {
            templ += c;
            templ += replacementTemplate[++i];
        } else if (c == u'$' &&
                   !(i + 1 < replacementTemplate.size() && replacementTemplate[i + 1] >= u'0' &&
                     replacementTemplate[i + 1] <= u'9')) {
            templ += u"\\$";
        } else {
            templ += c;
        }
    }
    icu::UnicodeString repl(false, reinterpret_cast<const UChar*>(templ.data()),
                            int32_t(templ.size()));
    m->reset(input);
    // replaceAll() drops a failure of its searches, so the loop is spelled
    // out: a failed match is an error, not "nothing more to replace".
    icu::UnicodeString result;
    while (m->find(status)) {
        m->appendReplacement(result, repl, status);
        // A template naming a group the pattern lacks cannot be applied; the
        // text then stays as it was rather than coming back half-replaced.
        if (U_FAILURE(status)) return std::u16string(text);
    }
    check(status);
    m->appendTail(result);
    return std::u16string(reinterpret_cast<const char16_t*>(result.getBuffer()),
                          size_t(result.length()));
}

std::string Regex::replacingMatches(std::string_view text,
                                    std::string_view replacementTemplate) const {
    return unicode::toUtf8(
        replacingMatches(std::u16string_view(unicode::toUtf16(text)),
                         std::u16string_view(unicode::toUtf16(replacementTemplate))));
}

std::string Regex::escapedPattern(std::string_view literal) {
    // Quote every character that has a meaning in a pattern.
    static const std::string_view special = "\\*?+[](){}^$|./";
    std::string out;
    out.reserve(literal.size() * 2);
    for (char c : literal) {
        if (special.find(c) != std::string_view::npos) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace vortil
