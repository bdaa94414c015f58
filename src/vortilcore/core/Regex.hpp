#pragma once
// Regular expressions in ICU's dialect (the one the tokenizer files and the
// fixed tokenizer patterns are written in), matched over UTF-16 text with
// UTF-16 offsets. A compiled Regex is immutable and may be shared by threads;
// each search makes its own matcher.

#include <unicode/utypes.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

U_NAMESPACE_BEGIN
class RegexMatcher;
U_NAMESPACE_END

namespace vortil {

class RegexError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Regex {
  public:
    struct Match {
        size_t begin = 0;
        size_t end = 0;
        // Group 0 is the whole match; a group that took no part is nullopt.
        std::vector<std::optional<std::pair<size_t, size_t>>> groups;
    };

    // Throws RegexError when the pattern does not compile. A positive
    // `timeLimit` (in ICU match-engine steps, each of the order of a
    // millisecond) bounds every search, for patterns read from files: a
    // search that takes longer throws RegexError naming the pattern.
    explicit Regex(std::string_view pattern, int32_t timeLimit = 0);
    ~Regex();
    Regex(const Regex&) = default;
    Regex& operator=(const Regex&) = default;
    Regex(Regex&&) noexcept = default;
    Regex& operator=(Regex&&) noexcept = default;

    static std::optional<Regex> tryCompile(std::string_view pattern, int32_t timeLimit = 0);

    // The time limit for patterns that come from tokenizer files: far above
    // what any sensible pattern needs on any one piece of text, and still a
    // bound on a pattern that backtracks for ever.
    static constexpr int32_t fileTimeLimit = 1000;

    const std::string& pattern() const { return pattern_; }

    // Every match over the whole text, left to right; after an empty match the
    // search moves on by one code point, so it always ends. The searches
    // throw RegexError when the engine fails (time limit, memory) rather
    // than stop early as if the rest of the text held no match.
    std::vector<Match> matches(std::u16string_view text) const;
    // The same matches as matches(), as [begin, end) ranges only.
    std::vector<std::pair<size_t, size_t>> matchRanges(std::u16string_view text) const;
    // The successive first matches of [start, end), each search starting at
    // the previous hit's end, or one character (grapheme cluster) further
    // after an empty hit; the region's edges act as the text's edges.
    std::vector<Match> successiveMatches(std::u16string_view text) const;
    // Every match replaced by the template, where "$n" names a group and a
    // backslash quotes the next character.
    std::u16string replacingMatches(std::u16string_view text,
                                    std::u16string_view replacementTemplate) const;
    std::string replacingMatches(std::string_view text, std::string_view replacementTemplate) const;

    // The pattern that matches the literal text.
    static std::string escapedPattern(std::string_view literal);

  private:
    std::unique_ptr<icu::RegexMatcher> matcherFor(size_t textLength) const;
    void check(UErrorCode status) const;

    std::string pattern_;
    int32_t timeLimit_ = 0;
    struct Compiled;  // the ICU pattern, kept out of this header
    std::shared_ptr<const Compiled> compiled_;
};

}  // namespace vortil
