#pragma once
// The Whisper tokenizer over the support library's general tokenizer. The
// control-token and language-token ids are resolved once, at construction,
// so one wrapper may serve any number of threads.
//
// A control token the vocabulary lacks gets Whisper's usual id. Tokenizers
// whose configuration names an unknown token answer every unlisted string with
// that token's id; such an answer is not taken for the control token.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "auralith/core/WhisperTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerWrapper.hpp"

namespace auralith {

class WhisperTokenizerWrapper : public WhisperTokenizer {
  public:
    WhisperTokenizerWrapper(vortil::TokenizerWrapper tokenizer,
                            std::optional<std::filesystem::path> tokenizerFolder);

    std::vector<std::int64_t> encode(const std::string& text) const override;
    // Ids the tokenizer does not know are left out of the text.
    std::string decode(const std::vector<std::int64_t>& tokens) const override;
    std::optional<std::int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(std::int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<std::int64_t>& allLanguageTokens() const override { return allLanguageTokens_; }

    // Groups the ids into words, special tokens included. Texts in Chinese,
    // Japanese, Thai, Lao, Burmese or Cantonese split per character; all others
    // at blanks and punctuation. Each word keeps its leading blank. Ids at the
    // end that do not finish a character are dropped.
    WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const override;

    // The two rules, each over the whole sequence.
    WordTokens splitTokensOnUnicode(const std::vector<std::int64_t>& tokens) const;
    WordTokens splitTokensOnSpaces(const std::vector<std::int64_t>& tokens) const;

    const vortil::TokenizerWrapper& tokenizer() const { return tokenizer_; }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

  private:
    // The vocabulary's id for exactly this token, or nothing.
    std::optional<std::int64_t> vocabularyId(const std::string& token) const;
    // Appends the raw bytes the token stands for (none for an unknown id).
    void appendTokenBytes(std::string& bytes, std::int64_t token) const;

    vortil::TokenizerWrapper tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::set<std::int64_t> allLanguageTokens_;
};

}  // namespace auralith
