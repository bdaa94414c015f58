#pragma once
// A Whisper checkpoint with random weights and the dimensions asked for, in the
// transformers layout, for tests that need a model of the right shape quickly.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/ml/WhisperCheckpoint.hpp"

namespace platform::ml {

class RandomCheckpoint {
  public:
    // Writes config.json, generation_config.json and model.safetensors (dtype "F16"
    // or "F32") into dir, and copies the tokenizer files of tokenizerDir when given.
    static void write(const std::filesystem::path& dir, const WhisperDimensions& dims,
                      std::uint32_t seed, const std::string& dtype,
                      const std::optional<std::filesystem::path>& tokenizerDir);
};

}  // namespace platform::ml
