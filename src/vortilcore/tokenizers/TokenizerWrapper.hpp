#pragma once
// The handle through which code outside the tokenizers holds a tokenizer: the
// hub-backed loaders return one and the speech pipeline keeps it to encode
// prompts, decode ids and look up its special tokens. Every call goes
// straight to the wrapped tokenizer. Copies share that tokenizer, which is
// immutable, so copying is cheap and copies may be used from any thread.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vortilcore/tokenizers/Tokenizer.hpp"

namespace vortil {

struct TokenizerWrapper {
    std::shared_ptr<const Tokenizer> impl;

    std::vector<std::string> tokenize(const std::string& text) const {
        return impl->tokenize(text);
    }
    std::vector<int> encode(const std::string& text) const { return impl->encode(text); }
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const {
        return impl->encode(text, addSpecialTokens);
    }
    std::string decode(const std::vector<int>& tokens) const { return impl->decode(tokens); }
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const {
        return impl->decode(tokens, skipSpecialTokens);
    }
    std::optional<int> convertTokenToId(const std::string& token) const {
        return impl->convertTokenToId(token);
    }
    std::vector<std::optional<int>> convertTokensToIds(
        const std::vector<std::string>& tokens) const {
        return impl->convertTokensToIds(tokens);
    }
    std::optional<std::string> convertIdToToken(int id) const { return impl->convertIdToToken(id); }
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const {
        return impl->convertIdsToTokens(ids);
    }
    std::optional<std::string> bosToken() const { return impl->bosToken(); }
    std::optional<int> bosTokenId() const { return impl->bosTokenId(); }
    std::optional<std::string> eosToken() const { return impl->eosToken(); }
    std::optional<int> eosTokenId() const { return impl->eosTokenId(); }
    std::optional<std::string> unknownToken() const { return impl->unknownToken(); }
    std::optional<int> unknownTokenId() const { return impl->unknownTokenId(); }
};

}  // namespace vortil
