#pragma once
// Small helpers shared by the model-runtime tests.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace mltest {

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("verbolin-ml-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
