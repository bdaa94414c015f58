#include "platform/ml/MLTensor.hpp"

namespace platform::ml {

std::string MLTensor::scalarTypeName() const {
    switch (scalarType()) {
        case MLMultiArrayDataType::float16:
            return "platform::ml::Float16";
        case MLMultiArrayDataType::float32:
            return "float";
        case MLMultiArrayDataType::float64:
            return "double";
        case MLMultiArrayDataType::int32:
            return "std::int32_t";
        case MLMultiArrayDataType::int8:
            return "std::int8_t";
    }
    return "unknown";
}

}  // namespace platform::ml
