#pragma once
// The WordPiece vocabulary model of BERT-style tokenizers. A piece of text
// goes through three stages: CJK ideographs are set apart by spaces, the basic
// tokenizer folds accents and case and splits at whitespace and punctuation,
// and the word-piece tokenizer cuts each word greedily into the longest
// vocabulary pieces, continuation pieces carrying a "##" prefix. Special tokens
// such as "[CLS]" are added later by the post-processor, not here.
//
// Vocabulary texts compare by canonical equivalence (composed and decomposed
// spellings of a token are the same token). Immutable after construction; one
// instance may serve several threads.

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"

namespace vortil {

// Token texts keyed by their NFC form.
using CanonicalVocab = std::unordered_map<std::string, int>;

class BasicTokenizer {
  public:
    explicit BasicTokenizer(bool doLowerCase);

    // Splits at spaces and tabs (line breaks stay inside words) and around
    // every punctuation character. With lower-casing on, accents are folded
    // away first; the never-split tokens are kept whole.
    std::vector<std::string> tokenize(const std::string& text) const;

    bool doLowerCase() const { return doLowerCase_; }
    const std::vector<std::string>& neverSplit() const { return neverSplit_; }

  private:
    bool doLowerCase_;
    std::vector<std::string> neverSplit_;
};

class WordpieceTokenizer {
  public:
    WordpieceTokenizer(std::string unkToken, int maxInputCharsPerWord,
                       std::shared_ptr<const CanonicalVocab> vocab);

    // The longest vocabulary pieces from left to right, in the word's own
    // spelling; the unknown token alone for a word longer than the limit or
    // one that cannot be covered. Lengths count characters (grapheme clusters).
    std::vector<std::string> tokenize(const std::string& word) const;

    const std::string& unkToken() const { return unkToken_; }
    int maxInputCharsPerWord() const { return maxInputCharsPerWord_; }

  private:
    std::string unkToken_;
    int maxInputCharsPerWord_;
    std::shared_ptr<const CanonicalVocab> vocab_;
};

class BertTokenizer : public PreTrainedTokenizerModel {
  public:
    // Throws TokenizerError::missingVocab() when model.vocab is not an object.
    // Vocabulary entries without an integer id and malformed added tokens are
    // skipped. Added tokens of the data replace vocabulary ids, and the given
    // added tokens replace both.
    BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                  const AddedTokens& addedTokens);

    using TokenizingModel::convertIdsToTokens;
    using TokenizingModel::convertTokensToIds;

    std::vector<std::string> tokenize(const std::string& text) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    const BasicTokenizer& basicTokenizer() const { return basicTokenizer_; }
    const WordpieceTokenizer& wordpieceTokenizer() const { return wordpieceTokenizer_; }
    int maxLen() const { return 512; }
    bool tokenizeChineseChars() const { return tokenizeChineseChars_; }
    size_t vocabCount() const { return vocab_->size(); }

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override {
        return wordpieceTokenizer_.unkToken();
    }
    std::optional<int> unknownTokenId() const override {
        return idOf(wordpieceTokenizer_.unkToken());
    }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

  private:
    static std::shared_ptr<const CanonicalVocab> buildVocab(
        const Config& tokenizerData, const AddedTokens& addedTokens,
        std::unordered_map<int, std::string>& idsToTokens);
    std::optional<int> idOf(const std::string& token) const;
    std::string tokenizeChineseCharsIfNeed(const std::string& text) const;

    // Filled while vocab_ is built, so declared before it.
    std::unordered_map<int, std::string> idsToTokens_;
    std::shared_ptr<const CanonicalVocab> vocab_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    bool tokenizeChineseChars_;
    std::optional<std::string> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    bool fuseUnknownTokens_;
};

}  // namespace vortil
