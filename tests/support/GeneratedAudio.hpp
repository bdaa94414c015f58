#pragma once
// Audio files made at test time with ffmpeg (and sox), and the signal
// measures tests check them by: frequency from zero crossings, RMS, peak.

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace testsupport {

// Runs a shell command; throws with the command when it fails.
inline void runTool(const std::string& command) {
    const std::string quiet = command + " >/dev/null 2>&1";
    if (std::system(quiet.c_str()) != 0) throw std::runtime_error("test tool failed: " + command);
}

// Renders an ffmpeg aevalsrc expression ("0.5*sin(2*PI*440*t)|0.25*sin(...)"
// for two channels) of `seconds` at `rate` into `path`, encoded with `codec`
// (ffmpeg output options such as "-c:a flac").
inline std::filesystem::path makeAudio(const std::filesystem::path& path,
                                       const std::string& expression, int rate, double seconds,
                                       const std::string& codec) {
    runTool("ffmpeg -nostdin -y -loglevel error -f lavfi -i 'aevalsrc=" + expression +
            ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds) + "' " + codec + " '" +
            path.string() + "'");
    return path;
}

inline std::string sine(double hz, double amplitude) {
    return std::to_string(amplitude) + "*sin(2*PI*" + std::to_string(hz) + "*t)";
}

inline double zeroCrossingHz(const std::vector<float>& s, double rate) {
    if (s.size() < 2) return 0;
    size_t n = 0;
    for (size_t i = 1; i < s.size(); ++i) n += (s[i - 1] < 0) != (s[i] < 0);
    return double(n) / 2.0 / (double(s.size()) / rate);
}

inline double rms(const std::vector<float>& s, size_t from = 0, size_t to = size_t(-1)) {
    to = std::min(to, s.size());
    if (to <= from) return 0;
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(to - from));
}

inline float peak(const std::vector<float>& s) {
    float p = 0;
    for (float v : s) p = std::max(p, std::fabs(v));
    return p;
}

}  // namespace testsupport
