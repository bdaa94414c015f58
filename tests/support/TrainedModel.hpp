#pragma once
// The trained English test checkpoint (a transformers Whisper folder), when
// this machine has it: VERBOLIN_TRAINED_MODEL, else tests/data/whisper-synth-en
// (copied there once it exists). Tests that want it skip, or fall back to random
// weights, without it.

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace testsupport {

inline std::filesystem::path trainedModelLocation() {
    const char* env = std::getenv("VERBOLIN_TRAINED_MODEL");
    return env ? std::filesystem::path(env)
               : std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "whisper-synth-en";
}

inline std::optional<std::filesystem::path> trainedModel() {
    const auto folder = trainedModelLocation();
    return std::filesystem::exists(folder / "config.json") ? std::optional(folder) : std::nullopt;
}

}  // namespace testsupport
