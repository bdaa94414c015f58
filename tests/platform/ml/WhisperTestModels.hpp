#pragma once
// Random Whisper networks for the runtime's tests, and a plain reference of
// their forward pass: Float32, simple loops, the whole sequence at once, no
// cache. The runtime's models must agree with it.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "platform/ml/Float16.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/SafetensorsFile.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace mltest {

using platform::ml::Float16;

// Writes a model folder of `kind` with random weights stored as `dtype` ("F16", "F32" or "BF16").
// Scales keep activations and logits of order one, so that attention is not uniform.
inline void writeRandomNetwork(const std::filesystem::path& folder, const std::string& kind,
                               const nlohmann::json& dims, const std::string& dtype,
                               unsigned seed) {
    using namespace platform::ml;
    const auto description = WhisperModelLayout::description(kind, dims);
    const auto specs = WhisperModelLayout::tensors(kind, dims);
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::list<std::vector<float>> f32;
    std::list<std::vector<Float16>> f16;
    std::list<std::vector<std::uint16_t>> bf16;
    std::vector<SafetensorsEntry> entries;
    for (const auto& spec : specs) {
        std::size_t n = 1;
        for (auto d : spec.shape) n *= static_cast<std::size_t>(d);
        std::vector<float> v(n);
        const bool norm = spec.name.find("layer_norm") != std::string::npos;
        const bool bias =
            spec.name.size() > 5 && spec.name.compare(spec.name.size() - 5, 5, ".bias") == 0;
        float sigma = 1.0f / std::sqrt(static_cast<float>(spec.shape.back()));
        if (spec.name.find("embed_tokens") != std::string::npos) sigma = 0.5f;
        if (spec.name.find("embed_positions") != std::string::npos) sigma = 0.3f;
        if (spec.name.find("conv") != std::string::npos && !bias)
            sigma = 1.0f / std::sqrt(static_cast<float>(spec.shape[1] * spec.shape[2]));
        for (auto& x : v) {
            if (norm && !bias)
                x = 1.0f + 0.1f * normal(rng);
            else if (bias)
                x = 0.1f * normal(rng);
            else
                x = sigma * normal(rng);
        }
        if (dtype == "F32") {
            auto& kept = f32.emplace_back(std::move(v));
            entries.push_back({spec.name, "F32", spec.shape, std::as_bytes(std::span(kept))});
        } else if (dtype == "BF16") {
            auto& kept = bf16.emplace_back(n);
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t bits;
                std::memcpy(&bits, &v[i], 4);
                kept[i] = static_cast<std::uint16_t>(bits >> 16);
            }
            entries.push_back({spec.name, "BF16", spec.shape, std::as_bytes(std::span(kept))});
        } else {
            auto& kept = f16.emplace_back(n);
            convertFloatToHalf(v.data(), kept.data(), n);
            entries.push_back({spec.name, "F16", spec.shape, std::as_bytes(std::span(kept))});
        }
    }
    std::filesystem::create_directories(folder);
    ModelFolder::writeDescription(folder, kind, dims, description);
    writeSafetensors(folder / ModelFolder::kWeightsFile, entries);
}

// The weights of a folder as Float32, by name.
class ReferenceWeights {
  public:
    explicit ReferenceWeights(const std::filesystem::path& folder) {
        auto file =
            platform::ml::SafetensorsFile::open(folder / platform::ml::ModelFolder::kWeightsFile);
        for (const auto& t : file->tensors()) tensors_[t.name] = platform::ml::tensorToFloats(t);
    }
    const std::vector<float>& operator()(const std::string& name) const {
        return tensors_.at(name);
    }

  private:
    std::map<std::string, std::vector<float>> tensors_;
};

using Matrix = std::vector<std::vector<float>>;  // [rows][cols]

inline std::vector<float> linear(const std::vector<float>& w, const std::vector<float>* b,
                                 const std::vector<float>& x, std::size_t out) {
    std::vector<float> y(out);
    const std::size_t in = x.size();
    for (std::size_t o = 0; o < out; ++o) {
        double s = b ? (*b)[o] : 0.0;
        for (std::size_t i = 0; i < in; ++i) s += static_cast<double>(w[o * in + i]) * x[i];
        y[o] = static_cast<float>(s);
    }
    return y;
}

inline std::vector<float> layerNorm(const std::vector<float>& x, const std::vector<float>& g,
                                    const std::vector<float>& b) {
    double mean = 0, var = 0;
    for (float v : x) mean += v;
    mean /= static_cast<double>(x.size());
    for (float v : x) var += (v - mean) * (v - mean);
    var /= static_cast<double>(x.size());
    std::vector<float> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        y[i] = static_cast<float>((x[i] - mean) / std::sqrt(var + 1e-5) * g[i] + b[i]);
    return y;
}

inline float gelu(float v) { return 0.5f * v * (1.0f + std::erf(v / std::sqrt(2.0f))); }

inline std::vector<double> softmax(std::vector<double> s) {
    double m = -INFINITY, sum = 0;
    for (double v : s) m = std::max(m, v);
    for (double& v : s) sum += (v = std::exp(v - m));
    for (double& v : s) v /= sum;
    return s;
}

// Multi-head attention of queries over keys/values ([n][D] each); `causal` limits query i to keys
// 0..i. probs, when given, receives [head][query][key].
inline Matrix attention(const Matrix& q, const Matrix& k, const Matrix& v, int heads, bool causal,
                        std::vector<Matrix>* probs = nullptr) {
    const std::size_t D = q[0].size(), dh = D / static_cast<std::size_t>(heads);
    Matrix out(q.size(), std::vector<float>(D));
    if (probs)
        probs->assign(static_cast<std::size_t>(heads),
                      Matrix(q.size(), std::vector<float>(k.size(), 0.0f)));
    for (std::size_t h = 0; h < static_cast<std::size_t>(heads); ++h)
        for (std::size_t i = 0; i < q.size(); ++i) {
            const std::size_t n = causal ? i + 1 : k.size();
            std::vector<double> s(n);
            for (std::size_t j = 0; j < n; ++j) {
                double dot = 0;
                for (std::size_t c = 0; c < dh; ++c)
                    dot += static_cast<double>(q[i][h * dh + c]) * k[j][h * dh + c];
                s[j] = dot / std::sqrt(static_cast<double>(dh));
            }
            const auto p = softmax(s);
            for (std::size_t j = 0; j < n; ++j) {
                if (probs) (*probs)[h][i][j] = static_cast<float>(p[j]);
                for (std::size_t c = 0; c < dh; ++c)
                    out[i][h * dh + c] += static_cast<float>(p[j] * v[j][h * dh + c]);
            }
        }
    return out;
}

// Encoder: mel [C][2W] to embeddings [W][D].
inline Matrix referenceEncoder(const ReferenceWeights& w, const nlohmann::json& dims,
                               const Matrix& mel) {
    const int D = dims["d_model"], C = dims["num_mel_bins"], W = dims["max_source_positions"];
    const int H = dims["encoder_attention_heads"], L = dims["encoder_layers"],
              F = dims["encoder_ffn_dim"];
    const int T = 2 * W;
    auto conv = [&](const std::string& name, const Matrix& in, int inChannels, int frames,
                    int stride) {
        const auto& k = w(name + ".weight");
        const auto& b = w(name + ".bias");
        const int outFrames = frames / stride;
        Matrix out(static_cast<std::size_t>(outFrames),
                   std::vector<float>(static_cast<std::size_t>(D)));
        for (int t = 0; t < outFrames; ++t)
            for (int o = 0; o < D; ++o) {
                double s = b[o];
                for (int c = 0; c < inChannels; ++c)
                    for (int j = 0; j < 3; ++j) {
                        const int src = t * stride + j - 1;
                        if (src >= 0 && src < frames)
                            s += static_cast<double>(k[(o * inChannels + c) * 3 + j]) * in[c][src];
                    }
                out[t][o] = gelu(static_cast<float>(s));
            }
        return out;  // [frames][D]
    };
    Matrix c1 = conv("model.encoder.conv1", mel, C, T, 1);
    Matrix c1T(static_cast<std::size_t>(D), std::vector<float>(static_cast<std::size_t>(T)));
    for (int t = 0; t < T; ++t)
        for (int d = 0; d < D; ++d) c1T[d][t] = c1[t][d];
    Matrix x = conv("model.encoder.conv2", c1T, D, T, 2);
    const auto& pos = w("model.encoder.embed_positions.weight");
    for (int t = 0; t < W; ++t)
        for (int d = 0; d < D; ++d) x[t][d] += pos[t * D + d];
    for (int l = 0; l < L; ++l) {
        const std::string p = "model.encoder.layers." + std::to_string(l);
        Matrix q, k, v;
        for (auto& row : x) {
            const auto h = layerNorm(row, w(p + ".self_attn_layer_norm.weight"),
                                     w(p + ".self_attn_layer_norm.bias"));
            q.push_back(
                linear(w(p + ".self_attn.q_proj.weight"), &w(p + ".self_attn.q_proj.bias"), h, D));
            k.push_back(linear(w(p + ".self_attn.k_proj.weight"), nullptr, h, D));
            v.push_back(
                linear(w(p + ".self_attn.v_proj.weight"), &w(p + ".self_attn.v_proj.bias"), h, D));
        }
        const Matrix a = attention(q, k, v, H, false);
        for (int t = 0; t < W; ++t) {
            const auto o = linear(w(p + ".self_attn.out_proj.weight"),
                                  &w(p + ".self_attn.out_proj.bias"), a[t], D);
            for (int d = 0; d < D; ++d) x[t][d] += o[d];
            const auto h =
                layerNorm(x[t], w(p + ".final_layer_norm.weight"), w(p + ".final_layer_norm.bias"));
            auto f = linear(w(p + ".fc1.weight"), &w(p + ".fc1.bias"), h, F);
            for (auto& e : f) e = gelu(e);
            const auto y = linear(w(p + ".fc2.weight"), &w(p + ".fc2.bias"), f, D);
            for (int d = 0; d < D; ++d) x[t][d] += y[d];
        }
    }
    for (auto& row : x)
        row = layerNorm(row, w("model.encoder.layer_norm.weight"),
                        w("model.encoder.layer_norm.bias"));
    return x;
}

struct ReferenceDecoding {
    Matrix logits;     // [token][V]
    Matrix alignment;  // [token][W], the mean cross-attention of the alignment heads
};

// Decoder over a whole token sequence; encoder output [W][D].
inline ReferenceDecoding referenceDecoder(const ReferenceWeights& w, const nlohmann::json& dims,
                                          const std::vector<int>& tokens, const Matrix& encoder) {
    const int D = dims["d_model"], H = dims["decoder_attention_heads"], L = dims["decoder_layers"];
    const int F = dims["decoder_ffn_dim"], V = dims["vocab_size"];
    const std::size_t n = tokens.size(), W = encoder.size();
    const auto& emb = w("model.decoder.embed_tokens.weight");
    const auto& pos = w("model.decoder.embed_positions.weight");
    Matrix x(n, std::vector<float>(static_cast<std::size_t>(D)));
    for (std::size_t i = 0; i < n; ++i)
        for (int d = 0; d < D; ++d) x[i][d] = emb[tokens[i] * D + d] + pos[i * D + d];
    ReferenceDecoding result;
    result.alignment.assign(n, std::vector<float>(W, 0.0f));
    const auto& heads = dims["alignment_heads"];
    for (int l = 0; l < L; ++l) {
        const std::string p = "model.decoder.layers." + std::to_string(l);
        auto block = [&](const std::string& a, const std::string& norm, const Matrix* memory,
                         std::vector<Matrix>* probs) {
            Matrix q, k, v;
            for (auto& row : x) {
                const auto h =
                    layerNorm(row, w(p + "." + norm + ".weight"), w(p + "." + norm + ".bias"));
                q.push_back(linear(w(p + "." + a + ".q_proj.weight"),
                                   &w(p + "." + a + ".q_proj.bias"), h, D));
                if (!memory) {
                    k.push_back(linear(w(p + "." + a + ".k_proj.weight"), nullptr, h, D));
                    v.push_back(linear(w(p + "." + a + ".v_proj.weight"),
                                       &w(p + "." + a + ".v_proj.bias"), h, D));
                }
            }
            if (memory)
                for (const auto& e : *memory) {
                    k.push_back(linear(w(p + "." + a + ".k_proj.weight"), nullptr, e, D));
                    v.push_back(linear(w(p + "." + a + ".v_proj.weight"),
                                       &w(p + "." + a + ".v_proj.bias"), e, D));
                }
            const Matrix out = attention(q, k, v, H, memory == nullptr, probs);
            for (std::size_t i = 0; i < n; ++i) {
                const auto o = linear(w(p + "." + a + ".out_proj.weight"),
                                      &w(p + "." + a + ".out_proj.bias"), out[i], D);
                for (int d = 0; d < D; ++d) x[i][d] += o[d];
            }
        };
        block("self_attn", "self_attn_layer_norm", nullptr, nullptr);
        std::vector<Matrix> probs;
        block("encoder_attn", "encoder_attn_layer_norm", &encoder, &probs);
        for (const auto& pair : heads)
            if (pair[0].get<int>() == l)
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t t = 0; t < W; ++t)
                        result.alignment[i][t] += probs[pair[1].get<std::size_t>()][i][t] /
                                                  static_cast<float>(heads.size());
        for (auto& row : x) {
            const auto h =
                layerNorm(row, w(p + ".final_layer_norm.weight"), w(p + ".final_layer_norm.bias"));
            auto f = linear(w(p + ".fc1.weight"), &w(p + ".fc1.bias"), h, F);
            for (auto& e : f) e = gelu(e);
            const auto y = linear(w(p + ".fc2.weight"), &w(p + ".fc2.bias"), f, D);
            for (int d = 0; d < D; ++d) row[d] += y[d];
        }
    }
    for (auto& row : x) {
        const auto h = layerNorm(row, w("model.decoder.layer_norm.weight"),
                                 w("model.decoder.layer_norm.bias"));
        result.logits.push_back(linear(emb, nullptr, h, static_cast<std::size_t>(V)));
    }
    return result;
}

}  // namespace mltest
