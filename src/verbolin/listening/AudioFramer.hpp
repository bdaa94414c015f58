#pragma once
// Cuts capture chunks of any length into frames of a fixed length, in order.
// Samples short of a whole frame wait for the next chunk; whatever is left
// when the stream ends is never handed out. Not thread-safe: one feeder owns it.

#include <cstddef>
#include <span>
#include <vector>

namespace verbolin {

class AudioFramer {
  public:
    explicit AudioFramer(size_t frameSamples);

    // The whole frames that `chunk` completes, oldest first.
    std::vector<std::vector<float>> push(std::span<const float> chunk);

    size_t frameSamples() const { return frameSamples_; }

  private:
    size_t frameSamples_;
    std::vector<float> buffer_;
};

}  // namespace verbolin
