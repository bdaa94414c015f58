#include "platform/ml/RandomCheckpoint.hpp"

#include <cmath>
#include <fstream>
#include <list>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "platform/ml/ConverterFiles.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

namespace fs = std::filesystem;

namespace {

void writeJson(const fs::path& path, const nlohmann::json& j) {
    writeConverterFile(path, j.dump(2) + "\n");
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whisper's fixed sinusoidal positions of the encoder: sin over the first half
// of the channels, cos over the second.
void sinusoids(std::vector<float>& out, std::int64_t length, std::int64_t channels) {
    const std::int64_t half = channels / 2;
    const double increment =
        std::log(10000.0) / static_cast<double>(std::max<std::int64_t>(half - 1, 1));
    for (std::int64_t t = 0; t < length; ++t)
        for (std::int64_t c = 0; c < half; ++c) {
            const double angle =
                static_cast<double>(t) * std::exp(-increment * static_cast<double>(c));
            out[t * channels + c] = static_cast<float>(std::sin(angle));
            out[t * channels + half + c] = static_cast<float>(std::cos(angle));
        }
}

}  // namespace

void RandomCheckpoint::write(const fs::path& dir, const WhisperDimensions& d, std::uint32_t seed,
                             const std::string& dtype,
                             const std::optional<fs::path>& tokenizerDir) {
    if (dtype != "F16" && dtype != "F32") throw std::runtime_error("dtype must be F16 or F32");
    fs::create_directories(dir);
    writeJson(dir / "config.json", d.configJson());
    writeJson(dir / "generation_config.json", d.generationConfigJson());

    // The converter's own layout names every tensor a checkpoint must hold.
    const auto config = d.configJson();
    nlohmann::json encoderDims = config, decoderDims = config;
    decoderDims["kv_cache_length"] = std::min(224, d.maxTargetPositions);
    std::vector<TensorSpec> specs =
        WhisperModelLayout::tensors(WhisperModelLayout::kAudioEncoder, encoderDims);
    for (auto& s : WhisperModelLayout::tensors(WhisperModelLayout::kTextDecoder, decoderDims))
        specs.push_back(s);

    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 0.02f);
    std::list<std::vector<float>> f32;
    std::list<std::vector<Float16>> f16;
    std::vector<SafetensorsEntry> entries;
    for (const auto& spec : specs) {
        std::int64_t n = 1;
        for (auto x : spec.shape) n *= x;
        std::vector<float> values(static_cast<std::size_t>(n));
        if (spec.name.find("layer_norm.weight") != std::string::npos) {
            std::fill(values.begin(), values.end(), 1.0f);
        } else if (spec.name.find("layer_norm.bias") != std::string::npos) {
            std::fill(values.begin(), values.end(), 0.0f);
        } else if (spec.name == "model.encoder.embed_positions.weight") {
            sinusoids(values, spec.shape[0], spec.shape[1]);
        } else {
            for (auto& v : values) v = normal(rng);
        }
        if (endsWith(spec.name, ".bias") && spec.name.find("layer_norm") == std::string::npos)
            for (auto& v : values) v *= 0.1f;
        if (dtype == "F32") {
            auto& kept = f32.emplace_back(std::move(values));
            entries.push_back({spec.name, "F32", spec.shape, std::as_bytes(std::span(kept))});
        } else {
            auto& kept = f16.emplace_back(values.size());
            convertFloatToHalf(values.data(), kept.data(), values.size());
            entries.push_back({spec.name, "F16", spec.shape, std::as_bytes(std::span(kept))});
        }
    }
    writeSafetensors(dir / "model.safetensors", entries, {{"format", "pt"}});

    if (tokenizerDir) {
        for (const char* name :
             {"tokenizer.json", "tokenizer_config.json", "special_tokens_map.json",
              "added_tokens.json", "vocab.json", "merges.txt", "normalizer.json"})
            if (fs::exists(*tokenizerDir / name))
                copyConverterFile(*tokenizerDir / name, dir / name);
    }
}

}  // namespace platform::ml
