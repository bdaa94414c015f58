#pragma once
// Building and editing model inputs: a filled initializer with exact-type
// matching, integer arrays, index offsets, and writes of one value at many
// positions (how the logits filters suppress tokens).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ml/MLMultiArray.hpp"

namespace vortil {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

class MLMultiArrayCreationError : public std::runtime_error {
  public:
    enum class Code { pixelBufferFailed };
    explicit MLMultiArrayCreationError(Code code)
        : std::runtime_error("Failed to create IOSurface-backed pixel buffer for MLMultiArray"),
          code_(code) {}
    Code code() const noexcept { return code_; }
    std::string errorDescription() const { return what(); }
    bool operator==(const MLMultiArrayCreationError& other) const { return code_ == other.code_; }

  private:
    Code code_;
};

// The image-like layout in which half-precision arrays are kept: width is the
// last dimension, height the product of the others. Absent for an empty shape,
// a non-positive dimension or an overflowing product. (Our storage is plain
// aligned memory with exactly this row layout and no row padding.)
struct PixelBufferLayout {
    std::int64_t width = 0;
    std::int64_t height = 0;
};
std::optional<PixelBufferLayout> pixelBuffer(const std::vector<std::int64_t>& shape);

namespace detail {
// Creates the array (half precision only when pixelBuffer() accepts the shape);
// throws MLMultiArrayCreationError or the runtime's error.
std::shared_ptr<MLMultiArray> createMultiArray(const std::vector<std::int64_t>& shape,
                                               MLMultiArrayDataType dataType);
}  // namespace detail

// Creates an array and, when the initial value's type is exactly the element
// type (Float16 for float16, float for float32, double for float64, std::int32_t
// for int32, std::int8_t for int8), writes it into every element. A value of any
// other type (an `long` for a float32 array, say) writes nothing and the array
// stays zero.
template <class T>
std::shared_ptr<MLMultiArray> makeMLMultiArray(const std::vector<std::int64_t>& shape,
                                               MLMultiArrayDataType dataType,
                                               const T& initialValue) {
    auto array = detail::createMultiArray(shape, dataType);
    auto fillWith = [&](auto typed) {
        using U = decltype(typed);
        if constexpr (std::is_same_v<T, U>) {
            if (array->dataType() == platform::ml::MLScalarTraits<U>::dataType)
                for (auto& x : array->span<U>()) x = initialValue;
        }
    };
    fillWith(Float16{});
    fillWith(float{});
    fillWith(double{});
    fillWith(std::int32_t{});
    fillWith(std::int8_t{});
    return array;
}

// An int32 array of shape [1, ..., 1, ints.size()] with `dims` entries holding the
// integers. dims < 1 or an integer outside the 32-bit range stops the program.
std::shared_ptr<MLMultiArray> multiArrayFrom(const std::vector<std::int64_t>& ints, int dims);

// Sum of index[i] × strides[i] over the shorter of the two lists; absent strides
// mean the array's own. Overflow stops the program.
std::int64_t linearOffset(const MLMultiArray& array, std::span<const std::int64_t> index,
                          std::optional<std::vector<std::int64_t>> strides = std::nullopt);
std::int64_t linearOffset(std::span<const std::int64_t> index,
                          std::span<const std::int64_t> strides);

namespace detail {
void fillRaw(MLMultiArray& array, const std::vector<std::vector<std::int64_t>>& indexes,
             const void* value, MLMultiArrayDataType valueType);
}  // namespace detail

// Writes the value at every index vector that has the array's rank and lies
// inside its shape; other vectors are skipped silently. The value's type must be
// the array's element type: a mismatch would write past the storage, so it
// stops the program instead.
template <class T>
void fill(MLMultiArray& array, const std::vector<std::vector<std::int64_t>>& indexes,
          const T& value) {
    detail::fillRaw(array, indexes, &value, platform::ml::MLScalarTraits<T>::dataType);
}

// Writes the value at positions [begin, end) of the last dimension of a float16
// array of shape [1, 1, N]. Any other shape stops the program. The range is
// clamped to [0, N).
void fillLastDimension(MLMultiArray& array, std::int64_t begin, std::int64_t end, Float16 value);

}  // namespace vortil
