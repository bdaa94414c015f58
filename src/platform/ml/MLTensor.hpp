#pragma once
// An immutable tensor value: a shape, a scalar type and its scalars in row-major
// order. The sampler's newer code path hands these around; reading them back
// into plain arrays is the support library's job.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/ml/MLMultiArray.hpp"

namespace platform::ml {

class MLTensor {
  public:
    // Throws std::invalid_argument when the scalar count does not fit the shape.
    template <class T>
    MLTensor(std::vector<std::int64_t> shape, const std::vector<T>& scalars) {
        auto array = MLMultiArray::make(std::move(shape), MLScalarTraits<T>::dataType);
        if (static_cast<std::size_t>(array->count()) != scalars.size())
            throw std::invalid_argument("MLTensor: " + std::to_string(scalars.size()) +
                                        " scalars for shape " + shapeText(array->shape()));
        std::copy(scalars.begin(), scalars.end(), array->template span<T>().begin());
        storage_ = std::move(array);
    }
    // A tensor holding a copy of the array's contents.
    explicit MLTensor(const MLMultiArray& array) : storage_(array.copy()) {}

    const std::vector<std::int64_t>& shape() const { return storage_->shape(); }
    MLMultiArrayDataType scalarType() const { return storage_->dataType(); }
    std::int64_t scalarCount() const { return storage_->count(); }

    // The scalars as stored; T must be the scalar type (std::logic_error otherwise).
    template <class T>
    std::vector<T> scalars() const {
        auto s = storage_->template span<T>();
        return {s.begin(), s.end()};
    }

    // The qualified name of the scalar type, as diagnostics print it.
    std::string scalarTypeName() const;

  private:
    std::shared_ptr<const MLMultiArray> storage_;
};

}  // namespace platform::ml
