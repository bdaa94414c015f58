#include "platform/ml/ModelWeights.hpp"

#include <algorithm>

#include "platform/ml/MLModelError.hpp"
#include "platform/ml/SafetensorsFile.hpp"

namespace platform::ml {

ModelWeights::ModelWeights(const ModelFolder& folder)
    : path_(folder.path()), file_(folder.weights()) {}

const SafetensorsTensor& ModelWeights::tensor(const std::string& name) const {
    const auto* t = file_->find(name);
    if (!t)
        throw MLModelError(MLModelError::Code::io, "Invalid model at " + path_.string() +
                                                       ": weights lack tensor \"" + name + "\"");
    return *t;
}

WeightMatrix ModelWeights::matrix(const std::string& name) {
    const SafetensorsTensor& t = tensor(name);
    WeightMatrix m;
    m.cols = t.shape.empty() ? 1 : t.shape.back();
    m.rows = 1;
    for (std::size_t i = 0; i + 1 < t.shape.size(); ++i) m.rows *= t.shape[i];
    const auto address = reinterpret_cast<std::uintptr_t>(t.data.data());
    if (t.dtype == "F16" && address % alignof(Float16) == 0) {
        m.f16 = reinterpret_cast<const Float16*>(t.data.data());
    } else if (t.dtype == "F32" && address % alignof(float) == 0) {
        m.f32 = reinterpret_cast<const float*>(t.data.data());
    } else {
        const auto values = tensorToFloats(t);
        auto& buffer = owned_.emplace_back(values.size());
        std::copy(values.begin(), values.end(), buffer.data());
        m.f32 = buffer.data();
    }
    return m;
}

std::vector<float> ModelWeights::floats(const std::string& name) const {
    return tensorToFloats(tensor(name));
}

}  // namespace platform::ml
