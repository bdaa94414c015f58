#pragma once
// Small helpers shared by the model-runtime tests.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "support/TempDir.hpp"

namespace mltest {

using testsupport::TempDir;

inline void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using testsupport::readFile;

// A safetensors file from a literal header and data section.
inline std::string safetensorsBytes(const std::string& header, const std::string& data,
                                    std::uint64_t lengthField) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((lengthField >> (8 * i)) & 0xFF);
    return out + header + data;
}
inline std::string safetensorsBytes(const std::string& header, const std::string& data) {
    return safetensorsBytes(header, data, header.size());
}

}  // namespace mltest
