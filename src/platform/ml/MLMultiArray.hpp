#pragma once
// A multi-dimensional array of numbers: the one tensor type that models take and
// return. Storage is row-major and contiguous, 64-byte aligned, and shared by
// reference (std::shared_ptr<MLMultiArray>): a feature value or a provider holds
// the same array the caller fills, never a copy.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/ml/Float16.hpp"

namespace platform::ml {

// Raw values are those the pipeline's model files have always used.
enum class MLMultiArrayDataType : std::int32_t {
    float16 = 0x10010,
    float32 = 0x10020,
    float64 = 0x10040,
    int32 = 0x20020,
    int8 = 0x20008,
};

std::size_t elementSize(MLMultiArrayDataType type);
std::string dataTypeName(
    MLMultiArrayDataType type);  // "float16", "float32", "float64", "int32", "int8"
bool dataTypeFromName(const std::string& name, MLMultiArrayDataType& out);

template <class T>
struct MLScalarTraits;
template <>
struct MLScalarTraits<Float16> {
    static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::float16;
};
template <>
struct MLScalarTraits<float> {
    static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};
template <>
struct MLScalarTraits<double> {
    static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::float64;
};
template <>
struct MLScalarTraits<std::int32_t> {
    static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::int32;
};
template <>
struct MLScalarTraits<std::int8_t> {
    static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::int8;
};

class MLMultiArray {
  public:
    static constexpr std::size_t kAlignment = 64;

    // Zero-filled storage of the given shape. Throws MLModelError when a dimension
    // is negative or the element count overflows; an empty shape is a scalar of one element.
    MLMultiArray(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType);

    // Wraps memory owned elsewhere (contiguous, row-major); `release` runs when the
    // array goes away. The memory must stay valid until then.
    MLMultiArray(void* data, std::vector<std::int64_t> shape, MLMultiArrayDataType dataType,
                 std::function<void(void*)> release);

    static std::shared_ptr<MLMultiArray> make(std::vector<std::int64_t> shape,
                                              MLMultiArrayDataType dataType) {
        return std::make_shared<MLMultiArray>(std::move(shape), dataType);
    }

    MLMultiArray(const MLMultiArray&) = delete;
    MLMultiArray& operator=(const MLMultiArray&) = delete;
    ~MLMultiArray();

    const std::vector<std::int64_t>& shape() const { return shape_; }
    const std::vector<std::int64_t>& strides() const { return strides_; }  // in elements
    MLMultiArrayDataType dataType() const { return dataType_; }
    std::int64_t count() const { return count_; }
    std::size_t byteCount() const {
        return static_cast<std::size_t>(count_) * elementSize(dataType_);
    }

    void* dataPointer() { return data_; }
    const void* dataPointer() const { return data_; }

    // Typed views; the type must match dataType() (checked, a mismatch is a
    // programming error that throws std::logic_error).
    template <class T>
    std::span<T> span() {
        checkType(MLScalarTraits<T>::dataType);
        return {static_cast<T*>(data_), static_cast<std::size_t>(count_)};
    }
    template <class T>
    std::span<const T> span() const {
        checkType(MLScalarTraits<T>::dataType);
        return {static_cast<const T*>(data_), static_cast<std::size_t>(count_)};
    }

    // Element at a linear index, read or written as a number of any type
    // (converted as the platform's number bridging would). Out-of-range indices throw.
    double doubleValue(std::int64_t index) const;
    void setValue(std::int64_t index, double value);

    // Element offset of a full index vector; throws std::out_of_range when invalid.
    std::int64_t offset(std::span<const std::int64_t> index) const;

    // A deep copy with the same shape and type.
    std::shared_ptr<MLMultiArray> copy() const;

  private:
    void checkType(MLMultiArrayDataType expected) const;

    std::vector<std::int64_t> shape_;
    std::vector<std::int64_t> strides_;
    MLMultiArrayDataType dataType_;
    std::int64_t count_ = 0;
    void* data_ = nullptr;
    std::function<void(void*)> release_;
};

// Row-major strides and element count of a shape; false when a dimension is
// negative or the count overflows.
bool contiguousLayout(const std::vector<std::int64_t>& shape, std::vector<std::int64_t>& strides,
                      std::int64_t& count);

std::string shapeText(const std::vector<std::int64_t>& shape);  // "[1, 80, 1, 3000]"

}  // namespace platform::ml
