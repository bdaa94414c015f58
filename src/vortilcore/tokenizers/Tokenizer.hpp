#pragma once
// The contracts of the tokenizer subsystem: a complete tokenizer (what the
// speech pipeline calls), the vocabulary model inside it (BPE, WordPiece,
// Unigram), and the helpers for reading token values from a tokenizer
// configuration. Implementations are immutable once built and may serve
// several threads at once.
//
// Classes overriding one overload of decode, encode or the list conversions
// should bring the base overloads back with a using-declaration.

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vortilcore/core/Config.hpp"

namespace vortil {

class Tokenizer {
  public:
    virtual ~Tokenizer() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    virtual std::vector<int> encode(const std::string& text) const = 0;
    virtual std::vector<int> encode(const std::string& text, bool addSpecialTokens) const = 0;
    virtual std::vector<int> operator()(const std::string& text, bool addSpecialTokens) const {
        return encode(text, addSpecialTokens);
    }
    // Special tokens stay in the text.
    virtual std::string decode(const std::vector<int>& tokens) const {
        return decode(tokens, false);
    }
    virtual std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const = 0;

    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::vector<std::optional<int>> convertTokensToIds(
        const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    virtual std::vector<std::optional<std::string>> convertIdsToTokens(
        const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
};

class TokenizingModel {
  public:
    virtual ~TokenizingModel() = default;

    // One pre-tokenized piece in, its vocabulary tokens out.
    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    std::vector<std::string> operator()(const std::string& text) const { return tokenize(text); }

    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::vector<std::optional<int>> convertTokensToIds(
        const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    virtual std::vector<std::optional<std::string>> convertIdsToTokens(
        const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
    virtual bool fuseUnknownTokens() const = 0;
};

// Added-token content to id, as the tokenizer collects it from its data.
using AddedTokens = std::unordered_map<std::string, int>;

// A model built from the two configuration documents and the added tokens.
// Implementations provide a constructor
//   Model(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens&
//   addedTokens)
// that throws TokenizerError or TokenizerConfigurationError for unusable data.
class PreTrainedTokenizerModel : public TokenizingModel {};

// A token value of a tokenizer configuration, written either as a plain
// string or as an object with a string "content". nullptr means absent.
std::optional<std::string> addedTokenAsString(const Config* value);
inline std::optional<std::string> addedTokenAsString(const Config& value) {
    return addedTokenAsString(&value);
}

// The "content" of a configuration's unkToken object, else unkToken itself
// when it is a string, else nothing.
std::optional<std::string> unknownTokenOf(const Config& tokenizerConfig);

}  // namespace vortil
