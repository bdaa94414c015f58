#pragma once
// The Whisper English tokenizer of the test data, built once per test
// program the way the pipeline builds it.

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/AutoTokenizer.hpp"

namespace testsupport {

inline std::shared_ptr<auralith::WhisperTokenizerWrapper> whisperEnglishTokenizer() {
    static const auto tokenizer = [] {
        const std::filesystem::path folder =
            std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer";
        auto read = [&](const char* name) {
            std::ifstream in(folder / name, std::ios::binary);
            return vortil::Config::fromJson(nlohmann::json::parse(in),
                                            vortil::Config::JsonSource::configurationFile);
        };
        const auto config = read("tokenizer_config.json");
        const auto data = read("tokenizer.json");
        const auto& type = vortil::AutoTokenizer::tokenizerClass(config);
        vortil::TokenizerWrapper wrapper{
            std::shared_ptr<const vortil::Tokenizer>(type.create(config, data, false))};
        return std::make_shared<auralith::WhisperTokenizerWrapper>(std::move(wrapper), folder);
    }();
    return tokenizer;
}

// The first text token of a short text (encoding adds the prompt's control
// tokens around it).
inline std::int64_t textToken(const std::string& text) {
    const auto tokenizer = whisperEnglishTokenizer();
    for (auto id : tokenizer->encode(text))
        if (id < tokenizer->specialTokens().specialTokenBegin) return id;
    throw std::runtime_error("no text token for " + text);
}

}  // namespace testsupport
