#pragma once
// The trained English test model: a checkpoint folder in the transformers
// layout (config.json, model.safetensors, tokenizer files). It is the folder
// VERBOLIN_TRAINED_MODEL names, else the copy in tests/data/whisper-synth-en.
// Tests that run the app's stages convert it into a model pack first; the
// conversion takes a fraction of a second.
//
// Its README states the word error rate measured on its held-out sentences
// spoken by one plain espeak-ng voice; the bounds below come from there.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/GeneratedAudio.hpp"

namespace testsupport {

// The voice and rate whose error rate the README states (en-us at 175 words
// per minute, espeak-ng's default pitch): WER 0.422 over its 100 held-out
// sentences in one 30 s window.
inline constexpr const char* kTrainedModelVoice = "en-us";
inline constexpr int kTrainedModelSpeed = 175;
inline constexpr double kTrainedModelPublishedWER = 0.422;

inline std::filesystem::path trainedModel() {
    const char* env = std::getenv("VERBOLIN_TRAINED_MODEL");
    const std::filesystem::path folder =
        env && *env ? std::filesystem::path(env)
                    : std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "whisper-synth-en";
    if (!std::filesystem::exists(folder / "config.json") ||
        !std::filesystem::exists(folder / "model.safetensors"))
        throw std::runtime_error(
            env && *env ? "VERBOLIN_TRAINED_MODEL must name a checkpoint folder in the "
                          "transformers layout (config.json, model.safetensors), not a model "
                          "pack: " +
                              folder.string()
                        : "the trained test model is missing from " + folder.string());
    return folder;
}

// Converts the trained checkpoint into a model pack at `pack` (MelSpectrogram,
// AudioEncoder and TextDecoder folders plus tokenizer/).
inline std::filesystem::path convertTrainedModel(const std::filesystem::path& pack) {
    runTool(std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models convert '" +
            trainedModel().string() + "' '" + pack.string() + "'");
    return pack;
}

// The sentences the model never saw in training, in the README's order.
inline std::vector<std::string> heldOutSentences() {
    std::ifstream in(trainedModel() / "heldout-sentences.txt");
    std::vector<std::string> sentences;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) sentences.push_back(line);
    if (sentences.empty())
        throw std::runtime_error("the trained model's folder has no heldout-sentences.txt");
    return sentences;
}

}  // namespace testsupport
