#pragma once
// A typed, shaped array of scalars. It either owns fresh storage (built from a
// shape and scalars) or views an existing multi-array of exactly its scalar
// type without copying, so a model's half-precision output can be read as
// Float16 values in place. Either way the storage is a shared MLMultiArray.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace platform::ml {

template <class Scalar>
class MLShapedArray {
  public:
    static constexpr MLMultiArrayDataType kDataType = MLScalarTraits<Scalar>::dataType;

    // Owns a copy of the scalars. Throws std::invalid_argument when their count
    // does not fit the shape.
    MLShapedArray(std::vector<std::int64_t> shape, const std::vector<Scalar>& scalars)
        : storage_(MLMultiArray::make(std::move(shape), kDataType)) {
        if (static_cast<std::size_t>(storage_->count()) != scalars.size())
            throw std::invalid_argument("MLShapedArray: " + std::to_string(scalars.size()) +
                                        " scalars for shape " + shapeText(storage_->shape()));
        std::copy(scalars.begin(), scalars.end(), storage_->template span<Scalar>().begin());
    }

    // Views the array's own storage. Reinterpreting another element type would
    // read garbage, so a null array or a type mismatch throws MLModelError.
    explicit MLShapedArray(std::shared_ptr<MLMultiArray> array) : storage_(std::move(array)) {
        if (!storage_)
            throw MLModelError(MLModelError::Code::featureType, "MLShapedArray: no array");
        if (storage_->dataType() != kDataType)
            throw MLModelError(MLModelError::Code::featureType,
                               "MLShapedArray: array of " + dataTypeName(storage_->dataType()) +
                                   " viewed as " + dataTypeName(kDataType));
    }

    const std::vector<std::int64_t>& shape() const { return storage_->shape(); }
    const std::vector<std::int64_t>& strides() const { return storage_->strides(); }
    std::int64_t scalarCount() const { return storage_->count(); }

    std::span<Scalar> scalars() { return storage_->template span<Scalar>(); }
    std::span<const Scalar> scalars() const {
        return std::as_const(*storage_).template span<Scalar>();
    }

    // The storage itself, shared.
    const std::shared_ptr<MLMultiArray>& multiArray() const { return storage_; }

  private:
    std::shared_ptr<MLMultiArray> storage_;
};

}  // namespace platform::ml
