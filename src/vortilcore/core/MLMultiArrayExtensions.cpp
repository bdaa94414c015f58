#include "vortilcore/core/MLMultiArrayExtensions.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/system/FatalError.hpp"

namespace vortil {

namespace {

std::int64_t checkedMulAdd(std::int64_t sum, std::int64_t a, std::int64_t b) {
    std::int64_t product = 0, result = 0;
    if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(sum, product, &result))
        platform::fatalError("linearOffset overflows");
    return result;
}

}  // namespace

std::optional<PixelBufferLayout> pixelBuffer(const std::vector<std::int64_t>& shape) {
    if (shape.empty()) return std::nullopt;
    PixelBufferLayout layout;
    layout.width = shape.back();
    layout.height = 1;
    for (std::size_t i = 0; i + 1 < shape.size(); ++i)
        if (__builtin_mul_overflow(layout.height, shape[i], &layout.height)) return std::nullopt;
    if (layout.width <= 0 || layout.height <= 0) return std::nullopt;
    return layout;
}

std::shared_ptr<MLMultiArray> detail::createMultiArray(const std::vector<std::int64_t>& shape,
                                                       MLMultiArrayDataType dataType) {
    if (dataType == MLMultiArrayDataType::float16 && !pixelBuffer(shape))
        throw MLMultiArrayCreationError(MLMultiArrayCreationError::Code::pixelBufferFailed);
    return MLMultiArray::make(shape, dataType);
}

std::shared_ptr<MLMultiArray> multiArrayFrom(const std::vector<std::int64_t>& ints, int dims) {
    if (dims < 1) platform::fatalError("multiArrayFrom needs at least one dimension");
    std::vector<std::int64_t> shape(static_cast<std::size_t>(dims), 1);
    shape.back() = static_cast<std::int64_t>(ints.size());
    auto array = MLMultiArray::make(shape, MLMultiArrayDataType::int32);
    auto out = array->span<std::int32_t>();
    for (std::size_t i = 0; i < ints.size(); ++i) {
        if (ints[i] < std::numeric_limits<std::int32_t>::min() ||
            ints[i] > std::numeric_limits<std::int32_t>::max())
            platform::fatalError("multiArrayFrom: integer outside the 32-bit range");
        out[i] = static_cast<std::int32_t>(ints[i]);
    }
    return array;
}

std::int64_t linearOffset(std::span<const std::int64_t> index,
                          std::span<const std::int64_t> strides) {
    std::int64_t sum = 0;
    const std::size_t n = std::min(index.size(), strides.size());
    for (std::size_t i = 0; i < n; ++i) sum = checkedMulAdd(sum, index[i], strides[i]);
    return sum;
}

std::int64_t linearOffset(const MLMultiArray& array, std::span<const std::int64_t> index,
                          std::optional<std::vector<std::int64_t>> strides) {
    if (strides) return linearOffset(index, std::span<const std::int64_t>(*strides));
    return linearOffset(index, std::span<const std::int64_t>(array.strides()));
}

void detail::fillRaw(MLMultiArray& array, const std::vector<std::vector<std::int64_t>>& indexes,
                     const void* value, MLMultiArrayDataType valueType) {
    if (valueType != array.dataType())
        platform::fatalError("fill: the value's type is not the array's element type");
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    const std::size_t size = platform::ml::elementSize(array.dataType());
    auto* base = static_cast<unsigned char*>(array.dataPointer());
    for (const auto& index : indexes) {
        if (index.size() != shape.size()) continue;
        bool inside = true;
        for (std::size_t d = 0; d < index.size() && inside; ++d)
            inside = index[d] >= 0 && index[d] < shape[d];
        if (!inside) continue;
        const std::int64_t offset = linearOffset(std::span<const std::int64_t>(index),
                                                 std::span<const std::int64_t>(strides));
        std::memcpy(base + static_cast<std::size_t>(offset) * size, value, size);
    }
}

void fillLastDimension(MLMultiArray& array, std::int64_t begin, std::int64_t end, Float16 value) {
    const auto& shape = array.shape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1)
        platform::fatalError("fillLastDimension needs an array of shape [1, 1, N]");
    if (array.dataType() != MLMultiArrayDataType::float16)
        platform::fatalError("fillLastDimension needs a float16 array");
    begin = std::max<std::int64_t>(begin, 0);
    end = std::min(end, shape[2]);
    const std::int64_t stride = array.strides()[2];
    auto* data = static_cast<Float16*>(array.dataPointer());
    for (std::int64_t i = begin; i < end; ++i) data[i * stride] = value;
}

}  // namespace vortil
