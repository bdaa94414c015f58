#include "platform/ml/WhisperModelLayout.hpp"

#include <limits>
#include <nlohmann/json.hpp>

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

namespace {

using DT = MLMultiArrayDataType;

// Tensors per layer: attention 7, norm 2, feed-forward 4, norm 2; the
// decoder adds cross-attention 7 and its norm 2.
constexpr std::size_t kEncoderLayerTensors = 15;
constexpr std::size_t kDecoderLayerTensors = 24;
// Whisper's encoders have 1500 positions; this leaves ample room.
constexpr std::int64_t kMaxSourcePositions = 1 << 16;

void addFeature(std::map<std::string, MLFeatureDescription>& table, const std::string& name,
                std::vector<std::int64_t> shape, DT type, bool optional = false) {
    MLFeatureDescription d;
    d.name = name;
    d.type = MLFeatureType::multiArray;
    d.isOptional = optional;
    d.multiArrayConstraint = MLMultiArrayConstraint{std::move(shape), type};
    table[name] = std::move(d);
}

void addAttention(std::vector<TensorSpec>& out, const std::string& prefix, std::int64_t d) {
    out.push_back({prefix + ".k_proj.weight", {d, d}});
    out.push_back({prefix + ".v_proj.weight", {d, d}});
    out.push_back({prefix + ".v_proj.bias", {d}});
    out.push_back({prefix + ".q_proj.weight", {d, d}});
    out.push_back({prefix + ".q_proj.bias", {d}});
    out.push_back({prefix + ".out_proj.weight", {d, d}});
    out.push_back({prefix + ".out_proj.bias", {d}});
}

void addNorm(std::vector<TensorSpec>& out, const std::string& prefix, std::int64_t d) {
    out.push_back({prefix + ".weight", {d}});
    out.push_back({prefix + ".bias", {d}});
}

void addFeedForward(std::vector<TensorSpec>& out, const std::string& prefix, std::int64_t d,
                    std::int64_t ffn) {
    out.push_back({prefix + ".fc1.weight", {ffn, d}});
    out.push_back({prefix + ".fc1.bias", {ffn}});
    out.push_back({prefix + ".fc2.weight", {d, ffn}});
    out.push_back({prefix + ".fc2.bias", {d}});
}

[[noreturn]] void unknownKind(const std::string& kind) {
    throw MLModelError(MLModelError::Code::generic, "Unknown model kind \"" + kind + "\"");
}

// Heads are checked so that a decoder never indexes past its layers.
std::vector<std::pair<std::int64_t, std::int64_t>> alignmentHeads(const nlohmann::json& dims,
                                                                  std::int64_t layers,
                                                                  std::int64_t heads) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    auto it = dims.find("alignment_heads");
    if (it == dims.end() || it->is_null()) return out;
    if (!it->is_array())
        throw MLModelError(MLModelError::Code::generic,
                           "Dimension \"alignment_heads\" is not a list");
    for (const auto& pair : *it) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() ||
            !pair[1].is_number_integer())
            throw MLModelError(MLModelError::Code::generic,
                               "Dimension \"alignment_heads\" holds a malformed pair");
        const auto l = pair[0].get<std::int64_t>(), h = pair[1].get<std::int64_t>();
        if (l < 0 || l >= layers || h < 0 || h >= heads)
            throw MLModelError(MLModelError::Code::generic,
                               "Dimension \"alignment_heads\" names a head that does not exist");
        out.emplace_back(l, h);
    }
    return out;
}

}  // namespace

bool WhisperModelLayout::isKnownKind(const std::string& kind) {
    return kind == kMelSpectrogram || kind == kAudioEncoder || kind == kTextDecoder;
}

std::int64_t WhisperModelLayout::dimension(const nlohmann::json& dims, const std::string& name) {
    if (!dims.is_object())
        throw MLModelError(MLModelError::Code::generic, "Model dimensions are not an object");
    auto it = dims.find(name);
    // Models keep dimensions in ints.
    if (it == dims.end() || !it->is_number_integer() || it->get<std::int64_t>() <= 0 ||
        it->get<std::int64_t>() > std::numeric_limits<std::int32_t>::max())
        throw MLModelError(MLModelError::Code::generic,
                           "Dimension \"" + name + "\" is missing or not a positive integer");
    return it->get<std::int64_t>();
}

MLModelDescription WhisperModelLayout::description(const std::string& kind,
                                                   const nlohmann::json& dims) {
    MLModelDescription desc;
    auto& in = desc.inputDescriptionsByName;
    auto& out = desc.outputDescriptionsByName;
    if (kind == kMelSpectrogram) {
        const auto nMels = dimension(dims, "n_mels"), nFft = dimension(dims, "n_fft");
        const auto hop = dimension(dims, "hop_length"), nSamples = dimension(dims, "n_samples");
        // Bounds far above any Whisper model keep a hostile model.json from
        // asking for gigabytes of scratch space.
        if (nFft < 2 || nFft % 2 != 0 || nFft > 16384 || hop > nFft || nMels > 1024 ||
            nSamples > 16000 * 600 || nSamples <= nFft / 2 || nSamples / hop < 1)
            throw MLModelError(MLModelError::Code::generic, "Mel dimensions are inconsistent");
        addFeature(in, "audio", {nSamples}, DT::float32);
        addFeature(out, "melspectrogram_features", {1, nMels, 1, nSamples / hop}, DT::float16);
    } else if (kind == kAudioEncoder) {
        const auto nMels = dimension(dims, "num_mel_bins"), d = dimension(dims, "d_model");
        const auto heads = dimension(dims, "encoder_attention_heads"),
                   w = dimension(dims, "max_source_positions");
        dimension(dims, "encoder_layers");
        dimension(dims, "encoder_ffn_dim");
        if (d % heads != 0)
            throw MLModelError(MLModelError::Code::generic,
                               "Dimension \"d_model\" is not a multiple of the heads");
        addFeature(in, "melspectrogram_features", {1, nMels, 1, 2 * w}, DT::float16);
        addFeature(out, "encoder_output_embeds", {1, d, 1, w}, DT::float16);
    } else if (kind == kTextDecoder) {
        const auto v = dimension(dims, "vocab_size"), d = dimension(dims, "d_model");
        const auto layers = dimension(dims, "decoder_layers"),
                   heads = dimension(dims, "decoder_attention_heads");
        const auto w = dimension(dims, "max_source_positions"),
                   s = dimension(dims, "kv_cache_length");
        dimension(dims, "decoder_ffn_dim");
        // No decoder weight has this length, so the weights file cannot bound
        // it; the decoder keeps layers x w x d of cross-attention state.
        if (w > kMaxSourcePositions)
            throw MLModelError(MLModelError::Code::generic,
                               "Dimension \"max_source_positions\" is out of range");
        if (d % heads != 0)
            throw MLModelError(MLModelError::Code::generic,
                               "Dimension \"d_model\" is not a multiple of the heads");
        if (s > dimension(dims, "max_target_positions"))
            throw MLModelError(MLModelError::Code::generic,
                               "Dimension \"kv_cache_length\" exceeds \"max_target_positions\"");
        const auto e = layers * d;
        addFeature(in, "input_ids", {1}, DT::int32);
        addFeature(in, "cache_length", {1}, DT::int32);
        addFeature(in, "key_cache", {1, e, 1, s}, DT::float16);
        addFeature(in, "value_cache", {1, e, 1, s}, DT::float16);
        addFeature(in, "kv_cache_update_mask", {1, s}, DT::int32);
        addFeature(in, "encoder_output_embeds", {1, d, 1, w}, DT::float16);
        addFeature(in, "decoder_key_padding_mask", {1, s}, DT::float16);
        addFeature(out, "logits", {1, 1, v}, DT::float16);
        addFeature(out, "key_cache_updates", {1, e, 1, 1}, DT::float16);
        addFeature(out, "value_cache_updates", {1, e, 1, 1}, DT::float16);
        if (!alignmentHeads(dims, layers, heads).empty())
            addFeature(out, "alignment_heads_weights", {1, w}, DT::float16, true);
    } else {
        unknownKind(kind);
    }
    return desc;
}

std::vector<TensorSpec> WhisperModelLayout::tensors(const std::string& kind,
                                                    const nlohmann::json& dims, std::size_t limit) {
    std::vector<TensorSpec> out;
    // The layers' tensors follow `out`'s fixed ones, with `tail` after them.
    auto checkCount = [&](std::int64_t layers, std::size_t perLayer, std::size_t tail) {
        // layers fits an int32, so this cannot overflow
        const std::uint64_t need =
            out.size() + tail + static_cast<std::uint64_t>(layers) * perLayer;
        if (need > limit)
            throw MLModelError(MLModelError::Code::generic, "the weights hold " +
                                                                std::to_string(limit) +
                                                                " tensors, fewer than a " + kind +
                                                                " with these dimensions needs");
        out.reserve(static_cast<std::size_t>(need));
    };
    if (kind == kMelSpectrogram) {
        checkCount(0, 0, 1);
        out.push_back(
            {"mel_filters", {dimension(dims, "n_mels"), dimension(dims, "n_fft") / 2 + 1}});
    } else if (kind == kAudioEncoder) {
        const auto nMels = dimension(dims, "num_mel_bins"), d = dimension(dims, "d_model");
        const auto layers = dimension(dims, "encoder_layers"),
                   ffn = dimension(dims, "encoder_ffn_dim");
        const auto w = dimension(dims, "max_source_positions");
        out.push_back({"model.encoder.conv1.weight", {d, nMels, 3}});
        out.push_back({"model.encoder.conv1.bias", {d}});
        out.push_back({"model.encoder.conv2.weight", {d, d, 3}});
        out.push_back({"model.encoder.conv2.bias", {d}});
        out.push_back({"model.encoder.embed_positions.weight", {w, d}});
        checkCount(layers, kEncoderLayerTensors, 2);
        for (std::int64_t l = 0; l < layers; ++l) {
            const std::string p = "model.encoder.layers." + std::to_string(l);
            addAttention(out, p + ".self_attn", d);
            addNorm(out, p + ".self_attn_layer_norm", d);
            addFeedForward(out, p, d, ffn);
            addNorm(out, p + ".final_layer_norm", d);
        }
        addNorm(out, "model.encoder.layer_norm", d);
    } else if (kind == kTextDecoder) {
        const auto v = dimension(dims, "vocab_size"), d = dimension(dims, "d_model");
        const auto layers = dimension(dims, "decoder_layers"),
                   ffn = dimension(dims, "decoder_ffn_dim");
        const auto positions = dimension(dims, "max_target_positions");
        out.push_back({"model.decoder.embed_tokens.weight", {v, d}});
        out.push_back({"model.decoder.embed_positions.weight", {positions, d}});
        checkCount(layers, kDecoderLayerTensors, 2);
        for (std::int64_t l = 0; l < layers; ++l) {
            const std::string p = "model.decoder.layers." + std::to_string(l);
            addAttention(out, p + ".self_attn", d);
            addNorm(out, p + ".self_attn_layer_norm", d);
            addAttention(out, p + ".encoder_attn", d);
            addNorm(out, p + ".encoder_attn_layer_norm", d);
            addFeedForward(out, p, d, ffn);
            addNorm(out, p + ".final_layer_norm", d);
        }
        addNorm(out, "model.decoder.layer_norm", d);
    } else {
        unknownKind(kind);
    }
    return out;
}

}  // namespace platform::ml
