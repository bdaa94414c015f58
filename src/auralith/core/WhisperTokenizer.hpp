#pragma once
// The tokenizer as the pipeline's stages see it: text and ids both ways, the
// control-token ids, the language-token ids, and the split of a token
// sequence into words for word-level timestamps.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "auralith/core/SpecialTokens.hpp"

namespace auralith {

struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<std::int64_t>> wordTokens;
};

class WhisperTokenizer {
  public:
    virtual ~WhisperTokenizer() = default;

    virtual std::vector<std::int64_t> encode(const std::string& text) const = 0;
    virtual std::string decode(const std::vector<std::int64_t>& tokens) const = 0;
    virtual std::optional<std::int64_t> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(std::int64_t id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    virtual const std::set<std::int64_t>& allLanguageTokens() const = 0;
    virtual WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const = 0;
};

}  // namespace auralith
