#pragma once
// One named value of a model's input or output. Only multi-arrays flow through
// the speech models; the other kinds exist so that descriptions can say what a
// feature is even when it is not an array.

#include <memory>

#include "platform/ml/MLMultiArray.hpp"

namespace platform::ml {

enum class MLFeatureType {
    invalid = 0,
    int64 = 1,
    double_ = 2,
    string = 3,
    image = 4,
    multiArray = 5,
    dictionary = 6,
    sequence = 7,
    state = 8
};

class MLFeatureValue {
  public:
    explicit MLFeatureValue(std::shared_ptr<MLMultiArray> array) : array_(std::move(array)) {}

    MLFeatureType type() const {
        return array_ ? MLFeatureType::multiArray : MLFeatureType::invalid;
    }
    // The shared array itself, not a copy.
    const std::shared_ptr<MLMultiArray>& multiArrayValue() const { return array_; }

  private:
    std::shared_ptr<MLMultiArray> array_;
};

}  // namespace platform::ml
