#include "auralith/utilities/AudioBufferExtensions.hpp"

#include <algorithm>
#include <cstring>

#include "vortilcore/core/Logging.hpp"

namespace auralith {

bool appendContents(platform::PCMBuffer& destination, const platform::PCMBuffer& source,
                    int64_t startingFrame, uint32_t frameCount) {
    using vortil::Logging;
    if (!(destination.format() == source.format())) {
        Logging::debug("Format mismatch");
        return false;
    }
    // Compared without forming startingFrame + frameCount, which could overflow;
    // a negative start would read before the source's samples.
    if (startingFrame < 0 || frameCount > source.frameLength() ||
        startingFrame > static_cast<int64_t>(source.frameLength() - frameCount)) {
        Logging::error("Insufficient audio in buffer");
        return false;
    }
    const float* const* from = source.floatChannelData();
    float* const* to = destination.floatChannelData();
    if (from == nullptr || to == nullptr) {
        Logging::error("Failed to access float channel data");
        return false;
    }
    const uint32_t room = destination.frameCapacity() - destination.frameLength();
    if (frameCount > room) {
        Logging::debug("Insufficient space in buffer, reducing frame count to fit");
        frameCount = room;
    }
    const size_t floatsPerFrame = destination.format().bytesPerFrame() / 4;
    std::memcpy(to[0] + floatsPerFrame * destination.frameLength(),
                from[0] + floatsPerFrame * static_cast<size_t>(startingFrame),
                floatsPerFrame * frameCount * sizeof(float));
    destination.setFrameLength(destination.frameLength() + frameCount);
    return true;
}

}  // namespace auralith
