#include "platform/ml/MLMultiArray.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

std::size_t elementSize(MLMultiArrayDataType type) {
    switch (type) {
        case MLMultiArrayDataType::float16:
            return 2;
        case MLMultiArrayDataType::float32:
            return 4;
        case MLMultiArrayDataType::float64:
            return 8;
        case MLMultiArrayDataType::int32:
            return 4;
        case MLMultiArrayDataType::int8:
            return 1;
    }
    return 0;
}

std::string dataTypeName(MLMultiArrayDataType type) {
    switch (type) {
        case MLMultiArrayDataType::float16:
            return "float16";
        case MLMultiArrayDataType::float32:
            return "float32";
        case MLMultiArrayDataType::float64:
            return "float64";
        case MLMultiArrayDataType::int32:
            return "int32";
        case MLMultiArrayDataType::int8:
            return "int8";
    }
    return "unknown";
}

bool dataTypeFromName(const std::string& name, MLMultiArrayDataType& out) {
    for (auto t :
         {MLMultiArrayDataType::float16, MLMultiArrayDataType::float32,
          MLMultiArrayDataType::float64, MLMultiArrayDataType::int32, MLMultiArrayDataType::int8}) {
        if (dataTypeName(t) == name) {
            out = t;
            return true;
        }
    }
    return false;
}

bool contiguousLayout(const std::vector<std::int64_t>& shape, std::vector<std::int64_t>& strides,
                      std::int64_t& count) {
    strides.assign(shape.size(), 1);
    std::int64_t n = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        if (shape[i] < 0) return false;
        strides[i] = n;
        if (shape[i] != 0 && n > std::numeric_limits<std::int64_t>::max() / shape[i]) return false;
        n *= shape[i];
    }
    count = n;
    return true;
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}

MLMultiArray::MLMultiArray(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType)
    : shape_(std::move(shape)), dataType_(dataType) {
    const std::size_t size = elementSize(dataType);
    if (size == 0)
        throw MLModelError(MLModelError::Code::generic, "Unsupported multi-array data type");
    if (!contiguousLayout(shape_, strides_, count_) ||
        static_cast<std::uint64_t>(count_) > std::numeric_limits<std::size_t>::max() / size / 2)
        throw MLModelError(MLModelError::Code::generic,
                           "Invalid multi-array shape " + shapeText(shape_));
    std::size_t bytes = static_cast<std::size_t>(count_) * size;
    bytes = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    if (bytes == 0) bytes = kAlignment;
    data_ = std::aligned_alloc(kAlignment, bytes);
    if (!data_) throw std::bad_alloc();
    std::memset(data_, 0, bytes);
    release_ = [](void* p) { std::free(p); };
}

MLMultiArray::MLMultiArray(void* data, std::vector<std::int64_t> shape,
                           MLMultiArrayDataType dataType, std::function<void(void*)> release)
    : shape_(std::move(shape)), dataType_(dataType), data_(data), release_(std::move(release)) {
    if (!contiguousLayout(shape_, strides_, count_) || elementSize(dataType) == 0) {
        if (release_) release_(data_);
        throw MLModelError(MLModelError::Code::generic,
                           "Invalid multi-array shape " + shapeText(shape_));
    }
}

MLMultiArray::~MLMultiArray() {
    if (release_) release_(data_);
}

void MLMultiArray::checkType(MLMultiArrayDataType expected) const {
    if (expected != dataType_)
        throw std::logic_error("MLMultiArray of " + dataTypeName(dataType_) + " accessed as " +
                               dataTypeName(expected));
}

double MLMultiArray::doubleValue(std::int64_t index) const {
    if (index < 0 || index >= count_) throw std::out_of_range("MLMultiArray index out of range");
    switch (dataType_) {
        case MLMultiArrayDataType::float16:
            return static_cast<float>(static_cast<const Float16*>(data_)[index]);
        case MLMultiArrayDataType::float32:
            return static_cast<const float*>(data_)[index];
        case MLMultiArrayDataType::float64:
            return static_cast<const double*>(data_)[index];
        case MLMultiArrayDataType::int32:
            return static_cast<const std::int32_t*>(data_)[index];
        case MLMultiArrayDataType::int8:
            return static_cast<const std::int8_t*>(data_)[index];
    }
    return 0;
}

namespace {
template <class I>
I saturatingInt(double v) {
    if (v != v) return 0;
    if (v <= static_cast<double>(std::numeric_limits<I>::min()))
        return std::numeric_limits<I>::min();
    if (v >= static_cast<double>(std::numeric_limits<I>::max()))
        return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}
}  // namespace

void MLMultiArray::setValue(std::int64_t index, double value) {
    if (index < 0 || index >= count_) throw std::out_of_range("MLMultiArray index out of range");
    switch (dataType_) {
        case MLMultiArrayDataType::float16:
            static_cast<Float16*>(data_)[index] = Float16(static_cast<float>(value));
            break;
        case MLMultiArrayDataType::float32:
            static_cast<float*>(data_)[index] = static_cast<float>(value);
            break;
        case MLMultiArrayDataType::float64:
            static_cast<double*>(data_)[index] = value;
            break;
        case MLMultiArrayDataType::int32:
            static_cast<std::int32_t*>(data_)[index] = saturatingInt<std::int32_t>(value);
            break;
        case MLMultiArrayDataType::int8:
            static_cast<std::int8_t*>(data_)[index] = saturatingInt<std::int8_t>(value);
            break;
    }
}

std::int64_t MLMultiArray::offset(std::span<const std::int64_t> index) const {
    if (index.size() != shape_.size())
        throw std::out_of_range("MLMultiArray index has the wrong rank");
    std::int64_t off = 0;
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (index[i] < 0 || index[i] >= shape_[i])
            throw std::out_of_range("MLMultiArray index out of range");
        off += index[i] * strides_[i];
    }
    return off;
}

std::shared_ptr<MLMultiArray> MLMultiArray::copy() const {
    auto out = std::make_shared<MLMultiArray>(shape_, dataType_);
    if (byteCount()) std::memcpy(out->dataPointer(), data_, byteCount());
    return out;
}

}  // namespace platform::ml
