#pragma once
// The cache updates one decoder step produced: its key and value slices and,
// when the model returns them, its alignment-head weights. Null means absent.

#include <memory>

#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

struct DecodingCache {
    std::shared_ptr<platform::ml::MLMultiArray> keyCache;
    std::shared_ptr<platform::ml::MLMultiArray> valueCache;
    std::shared_ptr<platform::ml::MLMultiArray> alignmentWeights;
};

}  // namespace auralith
