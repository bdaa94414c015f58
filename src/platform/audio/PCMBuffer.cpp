#include "platform/audio/PCMBuffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
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

void PCMBuffer::Free::operator()(float* p) const noexcept { std::free(p); }

size_t PCMBuffer::floatsPerBuffer(uint32_t capacity) const {
    // At least one float per buffer, so that every channel pointer is valid.
    return std::max<size_t>(size_t(capacity) * (format_.interleaved ? format_.channelCount : 1), 1);
}

PCMBuffer::PCMBuffer(PCMFormat format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    if (format.channelCount == 0)
        throw std::invalid_argument("PCM format needs at least one channel");
    if (format.commonFormat != CommonFormat::pcmFormatFloat32) return;
    storageFloats_ = floatsPerBuffer(frameCapacity) * buffers();
    // calloc, unlike filling a vector, leaves fresh pages untouched until used.
    storage_.reset(static_cast<float*>(std::calloc(storageFloats_, sizeof(float))));
    if (!storage_) throw std::bad_alloc();
    pointChannels();
}

PCMBuffer::PCMBuffer(const PCMBuffer& other)
    : format_(other.format_),
      frameCapacity_(other.frameCapacity_),
      frameLength_(other.frameLength_),
      storageFloats_(other.storageFloats_) {
    if (other.storage_) {
        storage_.reset(static_cast<float*>(std::malloc(storageFloats_ * sizeof(float))));
        if (!storage_) throw std::bad_alloc();
        std::memcpy(storage_.get(), other.storage_.get(), storageFloats_ * sizeof(float));
    }
    pointChannels();
}

PCMBuffer& PCMBuffer::operator=(const PCMBuffer& other) {
    if (this != &other) *this = PCMBuffer(other);
    return *this;
}

void PCMBuffer::pointChannels() {
    channels_.clear();
    if (!storage_) return;
    const size_t stride = storageFloats_ / buffers();
    for (size_t b = 0; b < buffers(); ++b) channels_.push_back(storage_.get() + b * stride);
}

void PCMBuffer::setFrameLength(uint32_t length) {
    if (length > frameCapacity_)
        throw std::out_of_range("Frame length exceeds the buffer's capacity");
    frameLength_ = length;
}

void PCMBuffer::reserveFrames(uint32_t frameCapacity) {
    if (frameCapacity <= frameCapacity_) return;
    if (storage_) {
        const size_t oldStride = storageFloats_ / buffers();
        const size_t newStride = floatsPerBuffer(frameCapacity);
        void* grown = std::realloc(storage_.get(), newStride * buffers() * sizeof(float));
        if (grown == nullptr) throw std::bad_alloc();
        storage_.release();
        storage_.reset(static_cast<float*>(grown));
        storageFloats_ = newStride * buffers();
        // Each buffer moves to its new place, last first, and its new room is cleared.
        for (size_t b = buffers(); b-- > 0;) {
            float* from = storage_.get() + b * oldStride;
            float* to = storage_.get() + b * newStride;
            std::memmove(to, from, oldStride * sizeof(float));
            std::memset(to + oldStride, 0, (newStride - oldStride) * sizeof(float));
        }
        pointChannels();
    }
    frameCapacity_ = frameCapacity;
}

}  // namespace platform
