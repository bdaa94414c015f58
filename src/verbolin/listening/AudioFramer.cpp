#include "verbolin/listening/AudioFramer.hpp"

#include <stdexcept>

namespace verbolin {

AudioFramer::AudioFramer(size_t frameSamples) : frameSamples_(frameSamples) {
    if (frameSamples_ == 0) throw std::invalid_argument("AudioFramer needs a frame length");
}

std::vector<std::vector<float>> AudioFramer::push(std::span<const float> chunk) {
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    std::vector<std::vector<float>> frames;
    size_t used = 0;
    while (buffer_.size() - used >= frameSamples_) {
        frames.emplace_back(buffer_.begin() + long(used),
                            buffer_.begin() + long(used + frameSamples_));
        used += frameSamples_;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + long(used));
    return frames;
}

std::vector<float> AudioFramer::takeRemainder() {
    std::vector<float> rest = std::move(buffer_);
    buffer_.clear();
    return rest;
}

}  // namespace verbolin
