#pragma once
// Picks and builds the vocabulary model a tokenizer configuration names.

#include <memory>
#include <optional>
#include <string>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"

namespace vortil {

struct TokenizerModel {
    // The "content" of an unkToken object, else unkToken itself when it is a
    // string, else nothing.
    static std::optional<std::string> unknownToken(const Config& tokenizerConfig);

    // The vocabulary model named by the configuration's tokenizerClass ("Fast"
    // removed). Throws missingTokenizerClassInConfig without a class name; an
    // unregistered name throws unsupportedTokenizer when strict, and otherwise
    // prints a warning and builds a BPE model. The model's own errors pass on.
    static std::unique_ptr<TokenizingModel> from(const Config& tokenizerConfig,
                                                 const Config& tokenizerData,
                                                 const AddedTokens& addedTokens, bool strict);
};

}  // namespace vortil
