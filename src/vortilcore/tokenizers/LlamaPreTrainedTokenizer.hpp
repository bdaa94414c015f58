#pragma once
// The tokenizer of "LlamaTokenizer" models. A legacy configuration (the
// default) behaves exactly like the general tokenizer. A non-legacy one drops
// the data's normalizer, splits with a Metaspace pre-tokenizer that marks only
// the first word, and puts one "▁" in front of every text itself. Either way,
// a post-processor that is not a template is replaced by a template built
// from the configuration's add_bos_token and add_eos_token.

#include <optional>
#include <string>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/PreTrainedTokenizer.hpp"

namespace vortil {

class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
  public:
    // Throws TokenizerError::mismatchedConfig when add_bos_token or
    // add_eos_token is set without a usable token, and whatever the general
    // construction throws.
    LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                             bool strict = true);

    std::vector<std::string> tokenize(const std::string& text) const override;

    bool isLegacy() const { return isLegacy_; }

  private:
    bool isLegacy_;
};

// The template post-processor configuration a Llama tokenizer uses in place
// of the given one (a null Config when the data has none), or nothing when
// the given one already builds a template. Throws
// TokenizerError::mismatchedConfig as the constructor above does.
std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig,
                                               const Config& processorConfig);

}  // namespace vortil
