#pragma once
// The byte-pair-encoding vocabulary model (the one behind the Whisper
// tokenizers): a pre-tokenized piece is cut into characters, adjacent symbols
// are merged in the order of the ranked merge list, and the result is mapped
// to vocabulary ids. Parts the vocabulary lacks fall back to one "<0xNN>"
// token per UTF-8 byte.
//
// Immutable after construction apart from an internal, lock-guarded cache of
// merged pieces, so one instance may serve several threads.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"

namespace vortil {

class BPETokenizer : public PreTrainedTokenizerModel {
  public:
    // Throws TokenizerConfigurationError("BPETokenizer requires merges") when
    // model.merges is absent or not an array, or holds a merge of fewer than
    // two symbols, TokenizerError::missingVocab() when model.vocab is not
    // an object, and TokenizerError::malformedVocab(detail) when an id is not
    // a non-negative integer or a merge names a symbol, or makes a token,
    // that the vocabulary lacks.
    BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                 const AddedTokens& addedTokens);
    ~BPETokenizer() override;

    using TokenizingModel::convertIdsToTokens;
    using TokenizingModel::convertTokensToIds;

    int vocabCount() const { return int(tokensToIds_.size()); }
    std::vector<std::string> tokenize(const std::string& text) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    // The byte-encoder characters of the text's UTF-8 bytes, one per byte.
    std::vector<std::string> byteEncode(const std::string& text) const;
    // One "<0xNN>" token per UTF-8 byte of the text.
    std::vector<std::string> hexaEncode(const std::string& text) const;
    // The merged symbols of one piece, joined by single spaces.
    std::string bpe(const std::string& token) const;
    // The merge work done so far by this instance on words longer than 64
    // symbols, in steps: a symbol looked at by a pass, a pair filed or taken
    // up, a rank taken from the heap. It grows with the work and not with
    // how busy the machine is, so it shows how merging scales with a piece's
    // length where a clock could not.
    std::uint64_t mergeSteps() const;

    // One symbol list per string or array element of the merge list; nullopt
    // when the value is not an array.
    static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(
        const Config& config);

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownToken_; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

  private:
    std::optional<int> rank(const std::string& firstKey, const std::string& secondKey,
                            std::string& scratch) const;
    std::vector<std::string> tokenizeUncached(const std::string& text) const;
    std::string mergeByPasses(std::vector<std::string> word, std::vector<std::string> keys,
                              std::uint64_t& steps) const;
    std::string mergeWithHeap(std::vector<std::string> word, std::vector<std::string> keys,
                              std::uint64_t& steps) const;

    // Keyed by the NFC forms of the two symbols joined by a space (merge
    // symbols never hold a space), so equivalent spellings share a rank.
    std::unordered_map<std::string, int> bpeRanks_;
    // Keyed by UTF-8 bytes, which compare exactly as UTF-16 code units do.
    std::unordered_map<std::string, int> tokensToIds_;
    std::unordered_map<int, std::string> idsToTokens_;
    std::optional<std::string> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    std::optional<std::string> unknownToken_;
    std::optional<int> unknownTokenId_;
    bool fuseUnknownTokens_ = false;

    struct Cache;
    std::unique_ptr<Cache> cache_;
};

}  // namespace vortil
