#pragma once
// A stage of the recognition pipeline: the text decoder, which turns one
// window's encoder embeddings into tokens. The pipeline has its own
// implementation (TextDecoder); a configuration may supply another one in its
// place (AuralithConfig::textDecoder).
//
// Calling order for one window: prepareDecoderInputs once per task, then
// prefillDecoderInputs, then decodeText (optionally detectLanguage first).
// Before a state is decoded again it is reset with DecodingInputs::reset.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "auralith/core/DecodingInputsType.hpp"
#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/DecodingResult.hpp"
#include "auralith/core/TextDecoderMLMultiArrayInputType.hpp"
#include "auralith/core/TextDecoderMLMultiArrayOutputType.hpp"
#include "auralith/core/TranscriptionProgress.hpp"
#include "auralith/core/WhisperTokenizer.hpp"
#include "auralith/core/text/LogitsFiltering.hpp"
#include "auralith/core/text/TokenSampling.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

// Receives the progress of every decoding step, on a background thread (it
// must be safe to call from any thread). Returning false outside the prompt
// steps asks the decode to stop; true or nothing lets it go on.
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

class TextDecoding {
  public:
    using Array = std::shared_ptr<platform::ml::MLMultiArray>;

    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) = 0;
    // Decides the prompt layout and where the timestamp rules look for the task
    // token. The pipeline sets it to whether the vocabulary differs from 51864.
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool multilingual) = 0;
    virtual bool supportsWordTimestamps() const = 0;
    virtual std::optional<std::int64_t> logitsSize() const = 0;
    // Extra filters that run before the built-in ones at every step.
    virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
    virtual void setLogitsFilters(
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;

    // Sizes read from the loaded decoder model; absent while no model is
    // loaded. E: key/value embedding size, S: cache positions, W: encoder
    // output length, D: encoder embedding size.
    virtual std::optional<std::int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<std::int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<std::int64_t> windowSize() const = 0;
    virtual std::optional<std::int64_t> embedSize() const = 0;

    // One model step. Null when no model is loaded (for the record form: a
    // record with absent logits and cache). Throws for a foreign input record,
    // on cancellation of the calling task, and with the runtime's errors.
    virtual std::shared_ptr<TextDecoderOutputType> predictLogits(
        const TextDecoderInputType& input) = 0;

    // A fresh decoder state (a DecodingInputs) for the prompt, sized from the
    // model: zero token, cache length, caches and alignment weights, the
    // update mask 1 at position 0, the padding mask 0 at position 0 and -10000
    // elsewhere. Throws WhisperError::prepareDecoderInputsFailed naming the
    // first size that is absent; array creation errors pass through.
    virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(
        const std::vector<std::int64_t>& prompt) const;

    // Lays the initial prompt into the state and re-arms the masks' first
    // position: [startofprev, previous text]? startoftranscript [language, task]?
    // notimestamps|0.00 [prefix]?. Without options the prompt is the start of
    // transcript alone. Returns the same state.
    virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(
        std::shared_ptr<DecodingInputsType> decoderInputs,
        const std::optional<DecodingOptions>& options);

    // Decodes one window from a prepared and prefilled state; see TextDecoder.
    virtual DecodingResult decodeText(const Array& encoderOutput,
                                      const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                      TokenSampling& sampler, const DecodingOptions& options,
                                      const TranscriptionCallback& callback = {}) = 0;

    // Finds the spoken language of one window with a single step from the
    // start of transcript. `options` and `temperature` do not change the result.
    virtual DecodingResult detectLanguage(const Array& encoderOutput,
                                          const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                          TokenSampling& sampler, const DecodingOptions& options,
                                          platform::ml::Float16 temperature) = 0;

    // Copies one step's key and value slices ([1, E, 1, L]) into the caches
    // ([1, E, 1, S]) at positions insertAtIndex ..< insertAtIndex + L, raw
    // half-precision elements by each array's own strides. A copy that would
    // not fit the caches, or arrays of the wrong rank or element type, are
    // refused with an error log and nothing is written.
    static void updateKVCache(platform::ml::MLMultiArray& keyTensor,
                              const platform::ml::MLMultiArray& keySlice,
                              platform::ml::MLMultiArray& valueTensor,
                              const platform::ml::MLMultiArray& valueSlice,
                              std::int64_t insertAtIndex);

    // Copies the first row of one step's alignment weights into row
    // insertAtIndex + 1 of the table ([S, W]): the step that feeds the token
    // at position r fills row r + 1. Out-of-range rows are refused as above.
    static void updateAlignmentWeights(platform::ml::MLMultiArray& alignmentTensor,
                                       const platform::ml::MLMultiArray& alignmentSlice,
                                       std::int64_t insertAtIndex);

  protected:
    TextDecoding() = default;
    TextDecoding(const TextDecoding&) = default;
    TextDecoding& operator=(const TextDecoding&) = default;
};

}  // namespace auralith
