#pragma once
// Reader and writer of the safetensors weight format: an 8-byte little-endian
// header length, a JSON header naming each tensor's dtype, shape and byte range,
// then the raw little-endian data. The reader maps the file and checks every
// claim of the header against the file before any tensor is handed out, so a
// truncated file or a lying header is an error, never an out-of-bounds read.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/ml/MappedFile.hpp"

namespace platform::ml {

struct SafetensorsTensor {
    std::string name;
    std::string dtype;  // "F16", "F32", "BF16", "F64", "I64", "I32", "I16", "I8", "U8", "BOOL"
    std::vector<std::int64_t> shape;
    std::span<const std::byte> data;
};

// Size in bytes of one element of a safetensors dtype, 0 when unknown.
std::size_t safetensorsDtypeSize(const std::string& dtype);

class SafetensorsFile {
  public:
    // Throws MLModelError (io) naming the file and the fault.
    static std::shared_ptr<const SafetensorsFile> open(const std::filesystem::path& path);

    const std::vector<SafetensorsTensor>& tensors() const { return tensors_; }
    const SafetensorsTensor* find(const std::string& name) const;
    const std::map<std::string, std::string>& metadata() const { return metadata_; }

  private:
    SafetensorsFile() = default;
    std::unique_ptr<MappedFile> file_;
    std::vector<SafetensorsTensor> tensors_;
    std::map<std::string, std::size_t> index_;
    std::map<std::string, std::string> metadata_;
};

struct SafetensorsEntry {
    std::string name;
    std::string dtype;
    std::vector<std::int64_t> shape;
    std::span<const std::byte> data;  // must hold exactly shape × dtype size bytes
};

// Writes the tensors, in the given order, to `path` (through a temporary file
// renamed into place). Throws MLModelError (io) on failure or inconsistent entries.
void writeSafetensors(const std::filesystem::path& path,
                      const std::vector<SafetensorsEntry>& tensors,
                      const std::map<std::string, std::string>& metadata = {});

}  // namespace platform::ml

namespace platform::ml {
// The values of a floating-point tensor (F16, F32, BF16, F64) as float;
// throws MLModelError for other dtypes.
std::vector<float> tensorToFloats(const SafetensorsTensor& tensor);
}  // namespace platform::ml
