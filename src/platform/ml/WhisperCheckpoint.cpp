#include "platform/ml/WhisperCheckpoint.hpp"

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/ml/MLMultiArray.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

namespace {

int intField(const nlohmann::json& config, const char* key, const std::filesystem::path& file) {
    auto it = config.find(key);
    if (it == config.end() || !it->is_number_integer() || it->get<long long>() <= 0 ||
        it->get<long long>() > (1 << 30))
        throw std::runtime_error(file.string() + ": \"" + key +
                                 "\" is missing or not a positive integer");
    return it->get<int>();
}

// The default alignment heads are every head of the decoder's upper half,
// so the decoder must be as large as config.json says before they are
// counted: a claim of a billion layers or heads would otherwise fill memory
// with head pairs before any weight is looked at.
void checkDecoderWeights(const WhisperDimensions& d, const platform::ml::SafetensorsFile& weights,
                         const std::filesystem::path& file) {
    if (d.dModel % d.decoderAttentionHeads != 0)
        throw std::runtime_error(file.string() +
                                 ": \"d_model\" is not a multiple of \"decoder_attention_heads\"");
    const nlohmann::json dims = {{"vocab_size", d.vocabSize},
                                 {"d_model", d.dModel},
                                 {"decoder_layers", d.decoderLayers},
                                 {"decoder_ffn_dim", d.decoderFfnDim},
                                 {"max_target_positions", d.maxTargetPositions}};
    using platform::ml::WhisperModelLayout;
    for (const auto& spec : WhisperModelLayout::tensors(WhisperModelLayout::kTextDecoder, dims,
                                                        weights.tensors().size())) {
        const auto* t = weights.find(spec.name);
        if (!t) throw std::runtime_error("The checkpoint lacks tensor \"" + spec.name + "\"");
        if (t->shape != spec.shape)
            throw std::runtime_error("Tensor \"" + spec.name + "\" has shape " +
                                     platform::ml::shapeText(t->shape) + ", expected " +
                                     platform::ml::shapeText(spec.shape));
    }
}

// An optional member, which must be of its type when it is there.
std::string textField(const nlohmann::json& config, const char* key, const char* fallback,
                      const std::filesystem::path& file) {
    auto it = config.find(key);
    if (it == config.end()) return fallback;
    if (!it->is_string())
        throw std::runtime_error(file.string() + ": \"" + key + "\" is not a string");
    return it->get<std::string>();
}

bool flagField(const nlohmann::json& config, const char* key, const std::filesystem::path& file) {
    auto it = config.find(key);
    if (it == config.end()) return false;
    if (!it->is_boolean())
        throw std::runtime_error(file.string() + ": \"" + key + "\" is not true or false");
    return it->get<bool>();
}

}  // namespace

std::string readCheckpointText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + path.string());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

nlohmann::json WhisperDimensions::configJson() const {
    return {{"model_type", "whisper"},
            {"architectures", {"WhisperForConditionalGeneration"}},
            {"activation_function", "gelu"},
            {"num_mel_bins", numMelBins},
            {"d_model", dModel},
            {"encoder_layers", encoderLayers},
            {"encoder_attention_heads", encoderAttentionHeads},
            {"encoder_ffn_dim", encoderFfnDim},
            {"decoder_layers", decoderLayers},
            {"decoder_attention_heads", decoderAttentionHeads},
            {"decoder_ffn_dim", decoderFfnDim},
            {"vocab_size", vocabSize},
            {"max_source_positions", maxSourcePositions},
            {"max_target_positions", maxTargetPositions},
            {"scale_embedding", false},
            {"torch_dtype", "float16"}};
}

nlohmann::json WhisperDimensions::generationConfigJson() const {
    nlohmann::json heads = nlohmann::json::array();
    for (auto [l, h] : alignmentHeads) heads.push_back({l, h});
    return {{"alignment_heads", heads}};
}

WhisperCheckpoint WhisperCheckpoint::open(const std::filesystem::path& dir) {
    WhisperCheckpoint c;
    c.dir_ = dir;
    const auto configPath = dir / "config.json";
    nlohmann::json config;
    try {
        config = nlohmann::json::parse(readCheckpointText(configPath));
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(configPath.string() + " is not valid JSON: " + e.what());
    }
    if (!config.is_object())
        throw std::runtime_error(configPath.string() + " is not a JSON object");
    if (textField(config, "model_type", "whisper", configPath) != "whisper")
        throw std::runtime_error(configPath.string() + " does not describe a Whisper model");
    const std::string activation = textField(config, "activation_function", "gelu", configPath);
    if (activation != "gelu")
        throw std::runtime_error(configPath.string() + ": activation \"" + activation +
                                 "\" is not supported");
    if (flagField(config, "scale_embedding", configPath))
        throw std::runtime_error(configPath.string() + ": scaled embeddings are not supported");

    auto& d = c.dims_;
    d.numMelBins = intField(config, "num_mel_bins", configPath);
    d.dModel = intField(config, "d_model", configPath);
    d.encoderLayers = intField(config, "encoder_layers", configPath);
    d.encoderAttentionHeads = intField(config, "encoder_attention_heads", configPath);
    d.encoderFfnDim = intField(config, "encoder_ffn_dim", configPath);
    d.decoderLayers = intField(config, "decoder_layers", configPath);
    d.decoderAttentionHeads = intField(config, "decoder_attention_heads", configPath);
    d.decoderFfnDim = intField(config, "decoder_ffn_dim", configPath);
    d.vocabSize = intField(config, "vocab_size", configPath);
    d.maxSourcePositions = intField(config, "max_source_positions", configPath);
    d.maxTargetPositions = intField(config, "max_target_positions", configPath);

    // Alignment heads come with the generation config of the released models.
    // Without them, take every head of the upper half of the decoder, as the
    // reference implementation does for a model it has no table for.
    bool haveHeads = false;
    const auto genPath = dir / "generation_config.json";
    if (std::filesystem::exists(genPath)) {
        nlohmann::json gen;
        try {
            gen = nlohmann::json::parse(readCheckpointText(genPath));
        } catch (const nlohmann::json::exception& e) {
            throw std::runtime_error(genPath.string() + " is not valid JSON: " + e.what());
        }
        if (gen.is_object() && gen.contains("alignment_heads") &&
            gen["alignment_heads"].is_array()) {
            for (const auto& pair : gen["alignment_heads"]) {
                // Read as int, a number out of its range would name another head.
                auto isIndex = [](const nlohmann::json& v) {
                    return v.is_number_integer() && v.get<long long>() >= 0 &&
                           v.get<long long>() <= std::numeric_limits<int>::max();
                };
                if (!pair.is_array() || pair.size() != 2 || !isIndex(pair[0]) || !isIndex(pair[1]))
                    throw std::runtime_error(genPath.string() + ": malformed alignment head");
                d.alignmentHeads.emplace_back(pair[0].get<int>(), pair[1].get<int>());
            }
            haveHeads = true;
        }
    }
    const auto weightsPath = dir / "model.safetensors";
    if (!std::filesystem::exists(weightsPath))
        throw std::runtime_error("No model.safetensors in " + dir.string() +
                                 " (sharded checkpoints are not supported)");
    c.weights_ = platform::ml::SafetensorsFile::open(weightsPath);

    if (!haveHeads) {
        checkDecoderWeights(d, *c.weights_, configPath);
        for (int l = d.decoderLayers / 2; l < d.decoderLayers; ++l)
            for (int h = 0; h < d.decoderAttentionHeads; ++h) d.alignmentHeads.emplace_back(l, h);
    }
    return c;
}

}  // namespace platform::ml
