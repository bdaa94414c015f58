#include "auralith/utilities/SeekClips.hpp"

#include <cmath>
#include <limits>

namespace auralith {

int64_t sampleIndex(float seconds) {
    const float samples = std::round(seconds * 16000.0f);
    if (std::isnan(samples)) return 0;
    // 2^63 is exactly representable as a float; anything from there up does not fit.
    if (samples >= 0x1p63f) return std::numeric_limits<int64_t>::max();
    if (samples < -0x1p63f) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(samples);
}

std::vector<std::pair<int64_t, int64_t>> prepareSeekClips(const std::vector<float>& clipTimestamps,
                                                          int64_t contentFrames) {
    std::vector<int64_t> points;
    points.reserve(clipTimestamps.size() + 1);
    for (float seconds : clipTimestamps) points.push_back(sampleIndex(seconds));
    if (points.empty()) points.push_back(0);
    if (points.size() % 2 == 1) points.push_back(contentFrames);
    std::vector<std::pair<int64_t, int64_t>> clips;
    clips.reserve(points.size() / 2);
    for (size_t i = 0; i + 1 < points.size(); i += 2) clips.emplace_back(points[i], points[i + 1]);
    return clips;
}

}  // namespace auralith
