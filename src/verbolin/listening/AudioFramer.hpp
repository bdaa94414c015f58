#pragma once
// Cuts capture chunks of any length into frames of a fixed length, in order.
// Samples short of a whole frame wait for the next chunk; when the stream
// ends, the owner takes them with takeRemainder(). Not thread-safe: one
// feeder owns it.

#include <cstddef>
#include <span>
#include <vector>

namespace verbolin {

class AudioFramer {
  public:
    explicit AudioFramer(size_t frameSamples);

    // The whole frames that `chunk` completes, oldest first.
    std::vector<std::vector<float>> push(std::span<const float> chunk);

    // The samples short of a whole frame, handed over (fewer than
    // frameSamples(), possibly none); the next push() starts a new frame.
    std::vector<float> takeRemainder();

    size_t frameSamples() const { return frameSamples_; }

  private:
    size_t frameSamples_;
    std::vector<float> buffer_;
};

}  // namespace verbolin
