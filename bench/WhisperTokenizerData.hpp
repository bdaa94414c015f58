#pragma once
// The Whisper English tokenizer files from the test data, read the way the
// pipeline reads them, for the tokenizer benchmarks.

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "vortilcore/core/Config.hpp"

namespace benchdata {

inline std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "tokenizer.json" or "tokenizer_config.json".
inline vortil::Config whisperTokenizerFile(const std::string& name) {
    const auto dir = std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer";
    return vortil::Config::fromJson(vortil::bomPreservingJsonObject(readAll(dir / name)),
                                    vortil::Config::JsonSource::configurationFile);
}

}  // namespace benchdata
