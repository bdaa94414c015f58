#include "auralith/core/DecodingInputs.hpp"

#include <algorithm>
#include <utility>

namespace auralith {

DecodingInputs::DecodingInputs(std::vector<std::int64_t> initialPrompt, ArrayPtr inputIds,
                               ArrayPtr cacheLength, ArrayPtr keyCache, ArrayPtr valueCache,
                               ArrayPtr alignmentWeights, ArrayPtr kvCacheUpdateMask,
                               ArrayPtr decoderKeyPaddingMask)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)) {}

void DecodingInputs::reset(std::int64_t maxTokenContext) {
    cacheLength_->setValue(0, 0);
    decoderKeyPaddingMask_->setValue(0, 0);
    kvCacheUpdateMask_->setValue(0, 1);
    // The masks come from the decoder model's description, which may declare
    // fewer positions than the caller's context: stop at the end of each.
    const std::int64_t paddingEnd = std::min(maxTokenContext, decoderKeyPaddingMask_->count());
    for (std::int64_t i = 1; i < paddingEnd; ++i) decoderKeyPaddingMask_->setValue(i, -10000);
    const std::int64_t updateEnd = std::min(maxTokenContext, kvCacheUpdateMask_->count());
    for (std::int64_t i = 1; i < updateEnd; ++i) kvCacheUpdateMask_->setValue(i, 0);
}

}  // namespace auralith
