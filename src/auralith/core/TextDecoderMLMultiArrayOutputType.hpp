#pragma once
// One decoder step's model outputs. TextDecoderOutputType is the marker base
// that predictLogits returns; the concrete record holds the logits (float16
// [1, 1, V]) and the step's cache updates ([1, E, 1, 1] keys and values, and
// the alignment-head weights when the model produces them). Absent values are null.

#include <memory>
#include <optional>

#include "auralith/core/DecodingCache.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class TextDecoderOutputType {
  public:
    virtual ~TextDecoderOutputType() = default;
};

struct TextDecoderMLMultiArrayOutputType : TextDecoderOutputType {
    TextDecoderMLMultiArrayOutputType(std::shared_ptr<platform::ml::MLMultiArray> logits,
                                      std::optional<DecodingCache> cache)
        : logits(std::move(logits)), cache(std::move(cache)) {}

    std::shared_ptr<platform::ml::MLMultiArray> logits;
    std::optional<DecodingCache> cache;
};

}  // namespace auralith
