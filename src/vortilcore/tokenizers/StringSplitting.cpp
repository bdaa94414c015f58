#include "vortilcore/tokenizers/StringSplitting.hpp"

#include "platform/system/Text.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace vortil {

namespace {

std::string piece(std::u16string_view text, size_t begin, size_t end) {
    return unicode::toUtf8(text.substr(begin, end - begin));
}

}  // namespace

StringSearch StringSearch::literal(std::string_view text) {
    StringSearch s;
    s.literal_ = unicode::toUtf16(text);
    return s;
}

StringSearch StringSearch::regularExpression(std::string_view pattern, int32_t timeLimit) {
    StringSearch s;
    s.isRegex_ = true;
    s.regex_ = Regex::tryCompile(pattern, timeLimit);
    return s;
}

StringSearch StringSearch::regularExpression(Regex compiled) {
    StringSearch s;
    s.isRegex_ = true;
    s.regex_ = std::move(compiled);
    return s;
}

std::vector<std::pair<size_t, size_t>> StringSearch::ranges(std::u16string_view text) const {
    std::vector<std::pair<size_t, size_t>> out;
    if (isRegex_) {
        if (!regex_) return out;
        for (const auto& m : regex_->successiveMatches(text)) out.emplace_back(m.begin, m.end);
        return out;
    }
    if (literal_.empty()) return out;  // an empty literal is found nowhere
    size_t start = 0;
    while (start < text.size()) {
        size_t hit = text.find(literal_, start);
        if (hit == std::u16string_view::npos) break;
        out.emplace_back(hit, hit + literal_.size());
        start = hit + literal_.size();
    }
    return out;
}

std::vector<std::string> matchingPieces(std::string_view text, const StringSearch& search) {
    std::u16string t = unicode::toUtf16(text);
    std::vector<std::string> out;
    for (auto [b, e] : search.ranges(t)) out.push_back(piece(t, b, e));
    return out;
}

std::vector<std::string> split(std::string_view text, const StringSearch& search,
                               bool includeSeparators) {
    std::u16string t = unicode::toUtf16(text);
    std::vector<std::string> out;
    size_t start = 0;
    for (auto [b, e] : search.ranges(t)) {
        if (b > start) out.push_back(piece(t, start, b));
        if (includeSeparators && e > b) out.push_back(piece(t, b, e));
        start = std::max(start, e);
    }
    if (start < t.size()) out.push_back(piece(t, start, t.size()));
    return out;
}

std::vector<std::string> split(std::string_view text, const StringSearch& search,
                               SplitDelimiterBehavior behavior) {
    switch (behavior) {
        case SplitDelimiterBehavior::removed:
            return split(text, search, false);
        case SplitDelimiterBehavior::isolated:
            return split(text, search, true);
        case SplitDelimiterBehavior::mergedWithPrevious:
        case SplitDelimiterBehavior::mergedWithNext:
            break;
    }
    std::u16string t = unicode::toUtf16(text);
    std::vector<std::string> out;
    bool withNext = behavior == SplitDelimiterBehavior::mergedWithNext;
    size_t start = 0;
    for (auto [b, e] : search.ranges(t)) {
        size_t cut = withNext ? b : e;
        if (cut > start) out.push_back(piece(t, start, cut));
        start = std::max(start, cut);
    }
    if (start < t.size()) out.push_back(piece(t, start, t.size()));
    return out;
}

std::vector<std::string> split(std::string_view text, const Regex& regex) {
    std::u16string t = unicode::toUtf16(text);
    auto matches = regex.matches(t);
    if (matches.empty()) return {std::string(text)};
    std::vector<std::string> out;
    size_t previousEnd = 0;
    for (const auto& m : matches) {
        if (m.begin > previousEnd) out.push_back(piece(t, previousEnd, m.begin));
        for (size_t g = m.groups.size(); g-- > 0;) {
            if (!m.groups[g]) continue;
            auto [b, e] = *m.groups[g];
            // An empty separator is no section of its own.
            if (e > b) out.push_back(piece(t, b, e));
            break;
        }
        previousEnd = std::max(previousEnd, m.end);
    }
    if (previousEnd < t.size()) out.push_back(piece(t, previousEnd, t.size()));
    return out;
}

std::string spacingChineseCharacters(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const auto& character : unicode::graphemes(std::string_view(text))) {
        if (platform::text::isChineseCharacter(platform::text::firstScalar(character)))
            out += " " + character + " ";
        else
            out += character;
    }
    return out;
}

}  // namespace vortil
