#pragma once
// Speech made at test time: espeak-ng speaks a sentence, sox turns it into
// 16 kHz mono float samples. The voice is the one the trained test model's
// error rate was measured with.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "support/GeneratedAudio.hpp"
#include "support/TrainedModel.hpp"

namespace testsupport {

inline bool speechToolsAvailable() {
    return std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") ==
           0;
}

// The text as one single-quoted shell word, whatever it holds.
inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Speaks the sentence into a WAV file (22050 Hz, as espeak-ng writes it).
inline void speakToFile(const std::string& sentence, const std::filesystem::path& wav) {
    runTool("espeak-ng -v " + std::string(kTrainedModelVoice) + " -s " +
            std::to_string(kTrainedModelSpeed) + " -w " + shellQuoted(wav.string()) + " " +
            shellQuoted(sentence));
}

inline std::vector<float> speak(const std::string& sentence) {
    TempDir dir("verbolin-speech");
    const auto wav = dir.path() / "speech.wav", raw = dir.path() / "speech.f32";
    speakToFile(sentence, wav);
    runTool("sox " + shellQuoted(wav.string()) + " -r 16000 -c 1 -e floating-point -b 32 -t raw " +
            shellQuoted(raw.string()));
    const std::string bytes = readFile(raw);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// Each sentence after two seconds of silence (one second ends an
// utterance), then two seconds more, as said into a microphone.
inline std::vector<float> sentencesWithPauses(const std::vector<std::string>& sentences) {
    std::vector<float> samples;
    for (const auto& sentence : sentences) {
        samples.insert(samples.end(), 32000, 0.0f);
        const auto spoken = speak(sentence);
        samples.insert(samples.end(), spoken.begin(), spoken.end());
    }
    samples.insert(samples.end(), 32000, 0.0f);
    return samples;
}

// Without the leading and trailing near-silence (|x| <= floor).
inline std::vector<float> trimSilence(const std::vector<float>& s, float floor = 1e-3f) {
    auto loud = [&](float x) { return std::abs(x) > floor; };
    const auto first = std::find_if(s.begin(), s.end(), loud);
    const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
    return first < last ? std::vector<float>(first, last) : std::vector<float>{};
}

}  // namespace testsupport
