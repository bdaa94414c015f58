#pragma once
// The pipeline's text decoder: it owns the "TextDecoder" model, the tokenizer,
// the extra logits filters and the stop flags of its running decodes, answers
// the state's sizes from the model's description, and runs the decoding loop
// and language detection.
//
// Threads: the model reference is read under a lock once per step, so loading
// or unloading on one thread and decoding on another are safe; any number of
// decodes, each with its own state, may run at once. Progress callbacks run on
// the decoder's own background thread, never on the decoding thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "auralith/core/DecodingInputs.hpp"
#include "auralith/core/TextDecoding.hpp"
#include "auralith/core/WhisperMLModel.hpp"
#include "auralith/core/text/LanguageLogitsFilter.hpp"
#include "platform/system/SerialExecutor.hpp"
#include "vortilcore/core/EarlyStopActor.hpp"

namespace auralith {

class TextDecoder : public TextDecoding, public WhisperMLModel {
  public:
    TextDecoder();
    ~TextDecoder() override;

    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    std::shared_ptr<WhisperTokenizer> tokenizer() const override;
    void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) override;
    bool isModelMultilingual() const override;
    void setIsModelMultilingual(bool multilingual) override;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override;
    void setLogitsFilters(
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) override;
    // Built by the first language detection and kept until the model is unloaded.
    virtual std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter() const;
    virtual void setLanguageLogitsFilter(std::shared_ptr<LanguageLogitsFilter> filter);

    // Read from the model's description at every call; absent without a model.
    bool supportsWordTimestamps() const override;
    std::optional<std::int64_t> logitsSize() const override;
    std::optional<std::int64_t> kvCacheEmbedDim() const override;
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override;
    std::optional<std::int64_t> windowSize() const override;
    std::optional<std::int64_t> embedSize() const override;

    // Drops the model and the language filter.
    void unloadModel() override;

    // At debug level, the first four positions of the state: seven lines.
    virtual void debugCaches(const DecodingInputs& decoderInputs, std::int64_t tokenIndex) const;

    // Accepts only a TextDecoderMLMultiArrayInputType (otherwise
    // WhisperError::transcriptionFailed). Without a model: a record whose logits
    // and cache are absent. Otherwise checks the calling task's cancellation and
    // runs one step; a result without logits or both cache updates throws
    // WhisperError::decodingLogitsFailed.
    std::shared_ptr<TextDecoderOutputType> predictLogits(
        const TextDecoderInputType& input) override;
    // The same step on loose arrays; absent without a model.
    virtual std::optional<std::pair<Array, std::optional<DecodingCache>>> predictLogits(
        Array inputIds, Array cacheLength, Array keyCache, Array valueCache,
        Array kvCacheUpdateMask, Array encoderOutputEmbeds, Array decoderKeyPaddingMask);

    DecodingResult detectLanguage(const Array& encoderOutput,
                                  const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                  TokenSampling& sampler, const DecodingOptions& options,
                                  platform::ml::Float16 temperature) override;

    // One window, one model step per token: the prompt is fed first (tokens
    // sampled meanwhile are discarded), then sampled tokens until end of text,
    // the first-token threshold, min(prompt - 1 + sampleLength, 223) steps, the
    // cache's own end, or a stop asked by the callback. The state is left as
    // the last step wrote it.
    DecodingResult decodeText(const Array& encoderOutput,
                              const std::shared_ptr<DecodingInputsType>& decoderInputs,
                              TokenSampling& sampler, const DecodingOptions& options,
                              const TranscriptionCallback& callback = {}) override;

    // The filters of one window, in order: the decoder's own, blank
    // suppression, token suppression, timestamp rules.
    virtual std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(
        const DecodingOptions& options, std::int64_t initialPromptIndex,
        const WhisperTokenizer& tokenizer) const;

  protected:
    const std::shared_ptr<vortil::EarlyStopActor>& earlyStopActor() const {
        return earlyStopActor_;
    }
    // Waits until every progress callback posted so far has run.
    void drainProgressCallbacks();

  private:
    class WindowDecoding;

    struct Settings {
        std::shared_ptr<WhisperTokenizer> tokenizer;
        bool isModelMultilingual = false;
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters{
            std::vector<std::shared_ptr<LogitsFiltering>>{}};
        std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter;
    };
    std::shared_ptr<LanguageLogitsFilter> languageFilterFor(const WhisperTokenizer& tokenizer,
                                                            std::int64_t logitsDim);

    mutable std::mutex settingsMutex_;
    Settings settings_;
    const std::shared_ptr<vortil::EarlyStopActor> earlyStopActor_;
    std::unique_ptr<platform::SerialExecutor> progressExecutor_;
};

}  // namespace auralith
