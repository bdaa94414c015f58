#pragma once
// The general tokenizer, assembled from a model's tokenizer_config.json and
// tokenizer.json: added tokens are cut out first, the rest of the text is
// normalized, pre-tokenized and cut into vocabulary tokens by the model that
// the configuration's tokenizer class selects, runs of unknown tokens are
// fused, and the post-processor adds the special tokens. Decoding maps ids
// back to token strings, runs the decoder, joins and cleans up spaces.
//
// Construction is the only step that can fail; it throws TokenizerError or
// TokenizerConfigurationError and never leaves a partly built tokenizer. A
// built tokenizer never changes and may serve several threads at once.

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/core/Regex.hpp"
#include "vortilcore/tokenizers/Decoder.hpp"
#include "vortilcore/tokenizers/Normalizer.hpp"
#include "vortilcore/tokenizers/PostProcessor.hpp"
#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"

namespace vortil {

class PreTrainedTokenizer : public Tokenizer {
  public:
    // strict decides what an unregistered tokenizer class does: an
    // unsupportedTokenizer error, or a printed warning and a BPE model.
    PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                        bool strict = true);
    ~PreTrainedTokenizer() override;
    PreTrainedTokenizer(const PreTrainedTokenizer&) = delete;
    PreTrainedTokenizer& operator=(const PreTrainedTokenizer&) = delete;

    using Tokenizer::decode;

    std::optional<std::string> bosToken() const override { return model_->bosToken(); }
    std::optional<int> bosTokenId() const override { return model_->bosTokenId(); }
    std::optional<std::string> eosToken() const override { return model_->eosToken(); }
    std::optional<int> eosTokenId() const override { return model_->eosTokenId(); }
    std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
    std::optional<int> unknownTokenId() const override { return model_->unknownTokenId(); }
    virtual bool fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }

    virtual std::vector<std::string> preTokenize(const std::string& text,
                                                 PreTokenizerOptions options) const;
    virtual std::string normalize(const std::string& text) const;
    virtual std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                                 bool addSpecialTokens) const;
    virtual std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
    // Removes the space before punctuation and contractions, when the
    // configuration asks for it.
    virtual std::string cleanUp(const std::string& text) const;
    // Runs of consecutive unknown tokens shrink to their first member.
    virtual std::vector<std::string> fuseUnknown(const std::vector<std::string>& tokens) const;

    std::vector<std::string> tokenize(const std::string& text) const override;
    // A token without an id (possible when the model has no unknown token)
    // is left out of the result.
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const override;
    std::vector<int> encode(const std::string& text) const override { return encode(text, true); }
    // Ids without a token are skipped; decoding never fails.
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    const TokenizingModel& model() const { return *model_; }
    // Added-token contents and the special ones' ids, keyed by their NFC
    // form so that canonically equivalent spellings meet.
    const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
    const std::unordered_map<std::string, int>& specialTokens() const { return specialTokens_; }
    const std::optional<Regex>& addedTokensRegex() const { return addedTokensRegex_; }
    const PreTokenizerPtr& preTokenizer() const { return preTokenizer_; }
    const NormalizerPtr& normalizer() const { return normalizer_; }
    const PostProcessorPtr& postProcessor() const { return postProcessor_; }
    const DecoderPtr& decoder() const { return decoder_; }
    const Config& tokenizerConfig() const { return tokenizerConfig_; }
    bool cleanUpTokenizationSpaces() const { return cleanUpTokenizationSpaces_; }

  private:
    bool isAddedToken(const std::string& text) const;

    std::unique_ptr<const TokenizingModel> model_;
    std::unordered_set<std::string> addedTokens_;
    std::unordered_map<std::string, int> specialTokens_;
    std::unordered_set<int> specialTokenIds_;
    std::optional<Regex> addedTokensRegex_;
    PreTokenizerPtr preTokenizer_;
    NormalizerPtr normalizer_;
    PostProcessorPtr postProcessor_;
    DecoderPtr decoder_;
    Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_ = true;
};

}  // namespace vortil
