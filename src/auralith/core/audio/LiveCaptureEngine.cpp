#include "auralith/core/audio/LiveCaptureEngine.hpp"

#include <algorithm>
#include <cstring>

namespace auralith {

LiveCaptureEngine::LiveCaptureEngine(std::unique_ptr<platform::AudioInputStream> stream)
    : stream_(std::move(stream)) {
    const platform::AudioFormat f = stream_->format();
    format_ = platform::PCMFormat{platform::CommonFormat::pcmFormatFloat32, f.sampleRate,
                                  f.channels, true};
}

LiveCaptureEngine::~LiveCaptureEngine() { stream_->stop(); }

platform::PCMFormat LiveCaptureEngine::inputFormat() const { return format_; }

void LiveCaptureEngine::installTap(uint32_t bufferSize, Tap tap) {
    stream_->stop();  // the partial buffer is replaced below
    std::lock_guard lock(m_);
    tap_ = std::move(tap);
    pending_.emplace(format_, std::max<uint32_t>(bufferSize, 1));
}

void LiveCaptureEngine::removeTap() {
    std::lock_guard lock(m_);
    tap_ = nullptr;
}

void LiveCaptureEngine::start() {
    stream_->start(
        [this](const float* interleaved, size_t frames) { deliver(interleaved, frames); });
}

void LiveCaptureEngine::pause() { stream_->stop(); }

void LiveCaptureEngine::stop() { stream_->stop(); }

void LiveCaptureEngine::reset() {
    std::lock_guard lock(m_);
    if (pending_) pending_->setFrameLength(0);
}

bool LiveCaptureEngine::isRunning() const { return stream_->isRunning(); }

void LiveCaptureEngine::deliver(const float* interleaved, size_t frames) {
    // The stream calls us from one thread only, and never after stop()
    // returns, so the partial buffer needs the lock only against
    // installTap/removeTap/reset made while the stream is stopped.
    Tap tap;
    platform::PCMBuffer* buffer = nullptr;
    {
        std::lock_guard lock(m_);
        if (!tap_ || !pending_) return;
        tap = tap_;
        buffer = &*pending_;
    }
    const uint32_t channels = format_.channelCount;
    while (frames > 0) {
        const uint32_t held = buffer->frameLength();
        const uint32_t take = uint32_t(std::min<size_t>(buffer->frameCapacity() - held, frames));
        std::memcpy(buffer->floatChannelData()[0] + size_t(held) * channels, interleaved,
                    size_t(take) * channels * sizeof(float));
        buffer->setFrameLength(held + take);
        interleaved += size_t(take) * channels;
        frames -= take;
        if (buffer->frameLength() == buffer->frameCapacity()) {
            tap(*buffer);
            buffer->setFrameLength(0);
        }
    }
}

}  // namespace auralith
