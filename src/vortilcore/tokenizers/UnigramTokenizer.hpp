#pragma once
// The Unigram vocabulary model of SentencePiece-style tokenizers: every piece
// of the vocabulary has a score, and a pre-tokenized piece of text is split
// into the vocabulary pieces whose scores add up to the highest total.
// Characters that start no vocabulary piece come back as single-character
// pieces, which convert to the unknown id; fusing runs of them is the
// tokenizer's business, not the model's.
//
// Immutable after construction; each tokenize call builds its own lattice, so
// one instance may serve several threads.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"
#include "vortilcore/tokenizers/Trie.hpp"

namespace vortil {

class UnigramTokenizer : public PreTrainedTokenizerModel {
  public:
    struct SentencePieceToken {
        std::string token;
        float score = 0;  // log-probability-like; higher is better
    };

    // Throws TokenizerError::missingVocab() when model.vocab is not an array,
    // and TokenizerError::malformedVocab() for an entry that is not
    // [text, ..., number], a model.unk_id that is absent, not an integer or
    // outside the vocabulary, or a piece text that occurs twice. The added
    // tokens are not used.
    UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                     const AddedTokens& addedTokens);

    using TokenizingModel::convertIdsToTokens;
    using TokenizingModel::convertTokensToIds;

    std::vector<std::string> tokenize(const std::string& text) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    // The piece's text; nothing for an id outside the vocabulary.
    std::optional<std::string> convertIdToToken(int id) const override;

    virtual float unknownTokenScore() const { return unknownPiece_.score; }

    const std::vector<SentencePieceToken>& vocab() const { return vocab_; }
    const SentencePieceToken& unknownPiece() const { return unknownPiece_; }
    float minScore() const { return minScore_; }

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return true; }

  private:
    // Lets the id table be searched with a view into the text, without a copy.
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    using IdTable = std::unordered_map<std::string, int, TextHash, std::equal_to<>>;

    std::optional<int> idOf(std::string_view token) const;

    std::vector<SentencePieceToken> vocab_;
    SentencePieceToken unknownPiece_;
    std::optional<int> unknownTokenId_;
    float minScore_ = 999;
    // Keyed by UTF-8 bytes, which compare exactly as UTF-16 code units do:
    // composed and decomposed spellings of a piece are different keys.
    IdTable tokensToIds_;
    // Piece texts by their character-wise canonical form (first piece wins).
    // The trie matches characters canonically, so it can find a piece in a
    // text that spells it differently from the vocabulary; this table names
    // the piece it found.
    IdTable canonicalToIds_;
    std::optional<std::string> bosToken_ = " ";
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    // Characters as their NFC forms, so canonically equivalent ones meet.
    Trie<std::string> trie_;
};

}  // namespace vortil
