#pragma once
// Post-processors turn the token strings of one text (and optionally of a
// paired second text) into the final sequence: they wrap them in the model's
// special tokens by template or by class and separator tokens. One is built
// from the "post_processor" object of tokenizer.json by PostProcessorFactory;
// failures happen while building (TokenizerConfigurationError), never while
// processing. Built post-processors are immutable and thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vortilcore/core/Config.hpp"

namespace vortil {

using TokenList = std::vector<std::string>;

class PostProcessor {
  public:
    virtual ~PostProcessor() = default;
    virtual TokenList postProcess(const TokenList& tokens,
                                  const std::optional<TokenList>& tokensPair,
                                  bool addSpecialTokens) const = 0;
    TokenList operator()(const TokenList& tokens, const std::optional<TokenList>& tokensPair,
                         bool addSpecialTokens) const {
        return postProcess(tokens, tokensPair, addSpecialTokens);
    }
};

using PostProcessorPtr = std::shared_ptr<const PostProcessor>;

struct PostProcessorFactory {
    // nullptr for a null configuration or one without a string "type".
    static PostProcessorPtr fromConfig(const Config& config);
};

// Special tokens and the texts placed by a "single" or "pair" template of
// {"SpecialToken": {"id": text}} and {"Sequence": {"id": "A" | "B"}} items.
class TemplateProcessing final : public PostProcessor {
  public:
    explicit TemplateProcessing(const Config& config);
    TokenList postProcess(const TokenList& tokens, const std::optional<TokenList>& tokensPair,
                          bool addSpecialTokens) const override;

  private:
    std::vector<Config> single_;
    std::vector<Config> pair_;
};

// Passes the first text through; a paired text is dropped.
class ByteLevelPostProcessor final : public PostProcessor {
  public:
    TokenList postProcess(const TokenList& tokens, const std::optional<TokenList>& tokensPair,
                          bool addSpecialTokens) const override;
};

// Always adds its class and separator tokens, whatever the caller asks.
class RobertaProcessing final : public PostProcessor {
  public:
    explicit RobertaProcessing(const Config& config);
    TokenList postProcess(const TokenList& tokens, const std::optional<TokenList>& tokensPair,
                          bool addSpecialTokens) const override;

  private:
    std::pair<uint64_t, std::string> sep_;
    std::pair<uint64_t, std::string> cls_;
    bool trimOffset_;
    bool addPrefixSpace_;
};

class BertProcessing final : public PostProcessor {
  public:
    explicit BertProcessing(const Config& config);
    TokenList postProcess(const TokenList& tokens, const std::optional<TokenList>& tokensPair,
                          bool addSpecialTokens) const override;

  private:
    std::pair<uint64_t, std::string> sep_;
    std::pair<uint64_t, std::string> cls_;
};

// The first member sees the pair; the later ones get the previous output alone.
class SequenceProcessing final : public PostProcessor {
  public:
    explicit SequenceProcessing(const Config& config);
    TokenList postProcess(const TokenList& tokens, const std::optional<TokenList>& tokensPair,
                          bool addSpecialTokens) const override;

  private:
    std::vector<PostProcessorPtr> processors_;
};

}  // namespace vortil
