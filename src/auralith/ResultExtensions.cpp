#include "auralith/ResultExtensions.hpp"

#include <algorithm>

namespace auralith {

bool contains(const std::vector<TranscriptionSegment>& segments,
              const TranscriptionSegment& segment) {
    return std::any_of(segments.begin(), segments.end(),
                       [&](const TranscriptionSegment& s) { return s.start == segment.start; });
}

}  // namespace auralith
