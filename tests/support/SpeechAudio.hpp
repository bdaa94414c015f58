#pragma once
// Speech made at test time: espeak-ng speaks a sentence, sox turns it into
// 16 kHz mono float samples. Nothing is stored in the tree.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/GeneratedAudio.hpp"
#include "support/TempDir.hpp"

namespace testsupport {

inline bool speechToolsAvailable() {
    return std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") ==
           0;
}

// Single quotes for the shell; the text must not hold one itself.
inline std::string shellQuoted(const std::string& text) {
    if (text.find('\'') != std::string::npos)
        throw std::invalid_argument("text holds a single quote: " + text);
    return "'" + text + "'";
}

// The sentence spoken by espeak-ng at 16 kHz mono, as float samples.
inline std::vector<float> speak(const std::string& sentence, const std::string& voice = "en-us") {
    TempDir dir("verbolin-speech");
    const auto wav = dir.path() / "speech.wav";
    const auto raw = dir.path() / "speech.f32";
    const std::string cmd = "espeak-ng -v " + voice + " -w " + shellQuoted(wav.string()) + " " +
                            shellQuoted(sentence) + " && sox " + shellQuoted(wav.string()) +
                            " -r 16000 -c 1 -e floating-point -b 32 -t raw " +
                            shellQuoted(raw.string());
    runTool(cmd);
    const std::string bytes = readFile(raw);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// The samples without their leading and trailing near-silence (|x| <= floor).
inline std::vector<float> trimSilence(const std::vector<float>& samples, float floor = 1e-3f) {
    std::size_t first = 0, last = samples.size();
    while (first < last && std::abs(samples[first]) <= floor) ++first;
    while (last > first && std::abs(samples[last - 1]) <= floor) --last;
    return {samples.begin() + static_cast<std::ptrdiff_t>(first),
            samples.begin() + static_cast<std::ptrdiff_t>(last)};
}

}  // namespace testsupport
