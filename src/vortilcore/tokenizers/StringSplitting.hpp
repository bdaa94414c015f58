#pragma once
// Text-splitting operations shared by the pre-tokenizers, the Precompiled
// normalizer, the BPE byte fallback and the added-token split of the
// tokenizer core. Texts are UTF-8; searching happens over UTF-16, so regular
// expressions see the same text and offsets as on the platform they were
// written for.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vortilcore/core/Regex.hpp"

namespace vortil {

enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// What to look for: a literal (compared unit by unit) or a regular expression.
// A regular expression that does not compile matches nothing, as the
// platform's string search treats it.
class StringSearch {
  public:
    static StringSearch literal(std::string_view text);
    static StringSearch regularExpression(std::string_view pattern, int32_t timeLimit = 0);
    static StringSearch regularExpression(Regex compiled);

    // All occurrences, left to right: each search starts where the previous
    // hit ended, or one character further after an empty hit, so a pattern
    // that matches the empty string still ends. UTF-16 ranges [begin, end).
    std::vector<std::pair<size_t, size_t>> ranges(std::u16string_view text) const;

  private:
    std::u16string literal_;
    std::optional<Regex> regex_;
    bool isRegex_ = false;
};

// The text of every occurrence, in order.
std::vector<std::string> matchingPieces(std::string_view text, const StringSearch& search);

// Pieces between occurrences (never empty), with the occurrences themselves
// in between when includeSeparators is true.
std::vector<std::string> split(std::string_view text, const StringSearch& search,
                               bool includeSeparators);

std::vector<std::string> split(std::string_view text, const StringSearch& search,
                               SplitDelimiterBehavior behavior);

// The cut at added tokens: the stretches between matches, and for each match
// the text of its highest-numbered participating group (so whitespace that
// the match takes in around the group is dropped).
std::vector<std::string> split(std::string_view text, const Regex& regex);

// Each character (grapheme) that starts with a CJK ideograph stands between
// two spaces, so that word splitting treats it as a word of its own.
std::string spacingChineseCharacters(const std::string& text);

}  // namespace vortil
