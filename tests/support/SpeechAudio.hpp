#pragma once
// Speech made at test time: espeak-ng speaks a sentence, sox turns it into
// 16 kHz mono float samples. Texts must not hold a single quote.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "support/GeneratedAudio.hpp"

namespace testsupport {

inline bool speechToolsAvailable() {
    return std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") ==
           0;
}

inline std::vector<float> speak(const std::string& sentence) {
    TempDir dir("verbolin-speech");
    const auto wav = (dir.path() / "speech.wav").string(),
               raw = (dir.path() / "speech.f32").string();
    runTool("espeak-ng -v en-us -w '" + wav + "' '" + sentence + "' && sox '" + wav +
            "' -r 16000 -c 1 -e floating-point -b 32 -t raw '" + raw + "'");
    const std::string bytes = readFile(raw);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
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
