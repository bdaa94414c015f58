#include "vortilcore/core/MLTensorExtensions.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system/FatalError.hpp"

namespace vortil {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::MLTensor;

namespace {

[[noreturn]] void unsupported(const MLTensor& tensor) {
    platform::fatalError("Unsupported scalar type: " + tensor.scalarTypeName());
}

bool supported(MLMultiArrayDataType t) {
    return t == MLMultiArrayDataType::float32 || t == MLMultiArrayDataType::float16 ||
           t == MLMultiArrayDataType::int32;
}

}  // namespace

std::vector<std::int64_t> toIntArray(const MLTensor& tensor) {
    if (tensor.scalarType() != MLMultiArrayDataType::int32) unsupported(tensor);
    const auto scalars = tensor.scalars<std::int32_t>();
    return {scalars.begin(), scalars.end()};
}

std::vector<float> toFloatArray(const MLTensor& tensor) {
    switch (tensor.scalarType()) {
        case MLMultiArrayDataType::float32:
            return tensor.scalars<float>();
        case MLMultiArrayDataType::float16: {
            const auto h = tensor.scalars<Float16>();
            std::vector<float> out(h.size());
            platform::ml::convertHalfToFloat(h.data(), out.data(), h.size());
            return out;
        }
        case MLMultiArrayDataType::int32: {
            const auto i = tensor.scalars<std::int32_t>();
            return {i.begin(), i.end()};
        }
        default:
            unsupported(tensor);
    }
}

std::shared_ptr<MLMultiArray> toMLMultiArray(const MLTensor& tensor) {
    if (!supported(tensor.scalarType())) unsupported(tensor);
    auto out = MLMultiArray::make(tensor.shape(), tensor.scalarType());
    switch (tensor.scalarType()) {
        case MLMultiArrayDataType::float32: {
            auto s = tensor.scalars<float>();
            std::memcpy(out->dataPointer(), s.data(), s.size() * sizeof(float));
            break;
        }
        case MLMultiArrayDataType::float16: {
            auto s = tensor.scalars<Float16>();
            std::memcpy(out->dataPointer(), s.data(), s.size() * sizeof(Float16));
            break;
        }
        default: {
            auto s = tensor.scalars<std::int32_t>();
            std::memcpy(out->dataPointer(), s.data(), s.size() * sizeof(std::int32_t));
            break;
        }
    }
    return out;
}

}  // namespace vortil
