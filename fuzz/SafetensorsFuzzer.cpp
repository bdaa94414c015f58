// A weights file as a user's checkpoint folder hands it over: open it, and
// read every floating-point tensor it claims to hold.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/SafetensorsFile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto path = fuzzing::writeScratchFile(
        "model.safetensors", std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        const auto file = platform::ml::SafetensorsFile::open(path);
        for (const auto& tensor : file->tensors()) {
            if (tensor.dtype == "F16" || tensor.dtype == "F32" || tensor.dtype == "BF16" ||
                tensor.dtype == "F64") {
                if (platform::ml::tensorToFloats(tensor).size() * 8 < tensor.data.size())
                    __builtin_trap();  // fewer values than the bytes hold
            }
        }
    } catch (const platform::ml::MLModelError&) {
    }
    return 0;
}
