#include "platform/audio/PCMBuffer.hpp"

#include <algorithm>
#include <stdexcept>

namespace platform {

uint32_t PCMFormat::bytesPerFrame() const {
    uint32_t bytesPerSample = 0;
    switch (commonFormat) {
        case CommonFormat::pcmFormatFloat32:
            bytesPerSample = 4;
            break;
        case CommonFormat::pcmFormatFloat64:
            bytesPerSample = 8;
            break;
        case CommonFormat::pcmFormatInt16:
            bytesPerSample = 2;
            break;
        case CommonFormat::pcmFormatInt32:
            bytesPerSample = 4;
            break;
        case CommonFormat::otherFormat:
            return 0;
    }
    return interleaved ? bytesPerSample * channelCount : bytesPerSample;
}

PCMBuffer::PCMBuffer(PCMFormat format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    if (format.channelCount == 0)
        throw std::invalid_argument("PCM format needs at least one channel");
    if (format.commonFormat != CommonFormat::pcmFormatFloat32) return;
    const size_t perBuffer =
        static_cast<size_t>(frameCapacity) * (format.interleaved ? format.channelCount : 1);
    const size_t buffers = format.interleaved ? 1 : format.channelCount;
    // At least one float per buffer, so that every channel pointer is valid.
    storage_.assign(std::max<size_t>(perBuffer, 1) * buffers, 0.0f);
    pointChannels();
}

PCMBuffer::PCMBuffer(const PCMBuffer& other)
    : format_(other.format_),
      frameCapacity_(other.frameCapacity_),
      frameLength_(other.frameLength_),
      storage_(other.storage_) {
    pointChannels();
}

PCMBuffer& PCMBuffer::operator=(const PCMBuffer& other) {
    if (this != &other) {
        format_ = other.format_;
        frameCapacity_ = other.frameCapacity_;
        frameLength_ = other.frameLength_;
        storage_ = other.storage_;
        pointChannels();
    }
    return *this;
}

void PCMBuffer::pointChannels() {
    channels_.clear();
    if (format_.commonFormat != CommonFormat::pcmFormatFloat32 || storage_.empty()) return;
    const size_t buffers = format_.interleaved ? 1 : format_.channelCount;
    const size_t stride = storage_.size() / buffers;
    for (size_t b = 0; b < buffers; ++b) channels_.push_back(storage_.data() + b * stride);
}

void PCMBuffer::setFrameLength(uint32_t length) {
    if (length > frameCapacity_)
        throw std::out_of_range("Frame length exceeds the buffer's capacity");
    frameLength_ = length;
}

}  // namespace platform
