#pragma once
// The text decoder's state for one transcription task: the prompt and the
// arrays the decoder model reads and updates at every step. Created once per
// task by TextDecoding::prepareDecoderInputs and reset before every window and
// every fallback attempt. It has no lock: it belongs to one task at a time.
//
// Shapes as the decoder creates them (E = key/value embedding size,
// S = cache length, W = encoder output length):
//   inputIds, cacheLength        [1] int32
//   keyCache, valueCache         [1, E, 1, S] float16
//   alignmentWeights             [S, W] float16
//   kvCacheUpdateMask            [1, S] int32: 1 marks the position the next step writes
//   decoderKeyPaddingMask        [1, S] float16: additive, 0 for filled positions, -10000 else

#include <cstdint>
#include <memory>
#include <vector>

#include "auralith/core/DecodingInputsType.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class DecodingInputs : public DecodingInputsType {
  public:
    using ArrayPtr = std::shared_ptr<platform::ml::MLMultiArray>;

    DecodingInputs(std::vector<std::int64_t> initialPrompt, ArrayPtr inputIds, ArrayPtr cacheLength,
                   ArrayPtr keyCache, ArrayPtr valueCache, ArrayPtr alignmentWeights,
                   ArrayPtr kvCacheUpdateMask, ArrayPtr decoderKeyPaddingMask);

    const std::vector<std::int64_t>& initialPrompt() const override { return initialPrompt_; }
    void setInitialPrompt(std::vector<std::int64_t> prompt) override {
        initialPrompt_ = std::move(prompt);
    }
    const ArrayPtr& inputIds() const override { return inputIds_; }
    void setInputIds(ArrayPtr array) override { inputIds_ = std::move(array); }
    const ArrayPtr& cacheLength() const override { return cacheLength_; }
    void setCacheLength(ArrayPtr array) override { cacheLength_ = std::move(array); }

    virtual const ArrayPtr& keyCache() const { return keyCache_; }
    virtual void setKeyCache(ArrayPtr array) { keyCache_ = std::move(array); }
    virtual const ArrayPtr& valueCache() const { return valueCache_; }
    virtual void setValueCache(ArrayPtr array) { valueCache_ = std::move(array); }
    virtual const ArrayPtr& alignmentWeights() const { return alignmentWeights_; }
    virtual void setAlignmentWeights(ArrayPtr array) { alignmentWeights_ = std::move(array); }
    virtual const ArrayPtr& kvCacheUpdateMask() const { return kvCacheUpdateMask_; }
    virtual void setKvCacheUpdateMask(ArrayPtr array) { kvCacheUpdateMask_ = std::move(array); }
    virtual const ArrayPtr& decoderKeyPaddingMask() const { return decoderKeyPaddingMask_; }
    virtual void setDecoderKeyPaddingMask(ArrayPtr array) {
        decoderKeyPaddingMask_ = std::move(array);
    }

    // Prepares the arrays for a new decode: cacheLength[0] = 0, and for the
    // first maxTokenContext positions of the masks the values of a fresh
    // state (update mask 1 then 0s, padding mask 0 then -10000s). Positions
    // past maxTokenContext, the caches, inputIds, the alignment weights and
    // the prompt keep their contents. A decoder model whose masks are shorter
    // than maxTokenContext gets its whole masks reset, never a write past them.
    void reset(std::int64_t maxTokenContext) override;

  private:
    std::vector<std::int64_t> initialPrompt_;
    ArrayPtr inputIds_;
    ArrayPtr cacheLength_;
    ArrayPtr keyCache_;
    ArrayPtr valueCache_;
    ArrayPtr alignmentWeights_;
    ArrayPtr kvCacheUpdateMask_;
    ArrayPtr decoderKeyPaddingMask_;
};

}  // namespace auralith
