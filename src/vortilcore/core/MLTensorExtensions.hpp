#pragma once
// Reading tensors back into plain arrays.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ml/MLMultiArray.hpp"
#include "platform/ml/MLTensor.hpp"

namespace vortil {

// The Int32 scalars widened to 64 bits, in element order. A tensor of another scalar
// type is a programming error that stops the program.
std::vector<std::int64_t> toIntArray(const platform::ml::MLTensor& tensor);

// The scalars as float (half exactly, integers to the nearest float); accepts
// float, Float16 and Int32 tensors and stops the program with "Unsupported scalar
// type: " and the type's name for any other.
std::vector<float> toFloatArray(const platform::ml::MLTensor& tensor);

// A new multi-array of the same shape, element type and contents; same types accepted.
std::shared_ptr<platform::ml::MLMultiArray> toMLMultiArray(const platform::ml::MLTensor& tensor);

}  // namespace vortil
