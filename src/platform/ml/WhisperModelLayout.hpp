#pragma once
// The fixed contract of each model kind of a Whisper model folder: the features
// it takes and returns (names, shapes, element types) and the weight tensors it
// needs, both derived from the kind's dimensions. The converter writes folders
// from this, and loading checks a folder against it, so the two cannot drift.
//
// Kinds and their dimensions (keys of "dimensions" in model.json):
//   MelSpectrogram: n_mels, n_fft, hop_length, n_samples
//   AudioEncoder:   num_mel_bins, d_model, encoder_layers, encoder_attention_heads,
//                   encoder_ffn_dim, max_source_positions
//   TextDecoder:    vocab_size, d_model, decoder_layers, decoder_attention_heads,
//                   decoder_ffn_dim, max_target_positions, max_source_positions,
//                   kv_cache_length, alignment_heads ([[layer, head], ...], may be empty)
// Weight names are those of the common transformers Whisper checkpoints
// ("model.encoder.layers.0.fc1.weight", ...); the mel kind holds "mel_filters".

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "platform/ml/MLModelDescription.hpp"

namespace platform::ml {

struct TensorSpec {
    std::string name;
    std::vector<std::int64_t> shape;
};

class WhisperModelLayout {
  public:
    static constexpr const char* kMelSpectrogram = "MelSpectrogram";
    static constexpr const char* kAudioEncoder = "AudioEncoder";
    static constexpr const char* kTextDecoder = "TextDecoder";

    static bool isKnownKind(const std::string& kind);

    // Both throw MLModelError naming the dimension when one is missing or out of range.
    static MLModelDescription description(const std::string& kind,
                                          const nlohmann::json& dimensions);
    // `limit` bounds the list before it is built: a layer count that would
    // need more tensors throws MLModelError instead of filling memory.
    static std::vector<TensorSpec> tensors(const std::string& kind,
                                           const nlohmann::json& dimensions,
                                           std::size_t limit = SIZE_MAX);

    // A positive integer dimension that fits an int, or MLModelError.
    static std::int64_t dimension(const nlohmann::json& dimensions, const std::string& name);
};

}  // namespace platform::ml
