#pragma once
// What the models' input and output classes share: reading a required or
// optional multi-array out of a provider, and copying a shaped array into a
// fresh multi-array.

#include <memory>
#include <string>

#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith::detail {

// The named feature's array; MLModelError when the provider lacks it or holds
// something other than a multi-array (a model that broke its contract).
std::shared_ptr<platform::ml::MLMultiArray> requiredArray(
    const platform::ml::MLFeatureProvider& provider, const std::string& name);

// The named feature's array, or null when it is absent.
std::shared_ptr<platform::ml::MLMultiArray> optionalArray(
    const platform::ml::MLFeatureProvider& provider, const std::string& name);

// A new multi-array of the same shape and values; the source is not shared.
template <class Scalar>
std::shared_ptr<platform::ml::MLMultiArray> copyToMultiArray(
    const platform::ml::MLShapedArray<Scalar>& shaped) {
    return shaped.multiArray()->copy();
}

// The provider itself; MLModelError when there is none.
std::shared_ptr<const platform::ml::MLFeatureProvider> requireProvider(
    std::shared_ptr<const platform::ml::MLFeatureProvider> provider);

// A value for an input feature; absent when no array is set.
std::optional<platform::ml::MLFeatureValue> inputValue(
    const std::shared_ptr<platform::ml::MLMultiArray>& array);

}  // namespace auralith::detail
