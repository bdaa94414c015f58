#pragma once
// The weights of one network as the compute kernels read them. Float16 and
// Float32 tensors are used in place from the memory-mapped file, in the
// precision they were converted to; other float types (BF16, F64) and tensors
// whose data is not aligned to their element size are copied once to Float32.

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/ml/AlignedBuffer.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/ModelFolder.hpp"

namespace platform::ml {

// A row-major matrix [rows][cols]; exactly one of f16 and f32 is set.
struct WeightMatrix {
    const Float16* f16 = nullptr;
    const float* f32 = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;

    std::size_t byteCount() const { return static_cast<std::size_t>(rows * cols) * (f16 ? 2 : 4); }
};

class ModelWeights {
  public:
    // The folder must have passed checkAgainstLayout().
    explicit ModelWeights(const ModelFolder& folder);

    // A 2-D view of a tensor (a 1-D tensor is one row; higher ranks fold into
    // the rows). Throws MLModelError when the tensor is missing.
    WeightMatrix matrix(const std::string& name);

    // A copy as Float32, for the small vectors (biases, norms) and for weights
    // that are rearranged at load.
    std::vector<float> floats(const std::string& name) const;

  private:
    const SafetensorsTensor& tensor(const std::string& name) const;

    std::filesystem::path path_;
    std::shared_ptr<const SafetensorsFile> file_;  // keeps the mapping alive
    std::list<AlignedBuffer<float>> owned_;
};

}  // namespace platform::ml
