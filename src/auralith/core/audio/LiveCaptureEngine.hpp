#pragma once
// The engine of one live capture: a capture stream of the sound server and a
// tap that receives its audio in buffers of a fixed number of frames, in the
// device's own format (float32, interleaved). Pausing stops delivery and
// keeps the tap; stopping also drops the tap's partial buffer. Once stop(),
// pause() or removeTap() return, the tap is not called again.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/audio/AudioInputStream.hpp"
#include "platform/audio/PCMBuffer.hpp"

namespace auralith {

class LiveCaptureEngine {
  public:
    using Tap = std::function<void(const platform::PCMBuffer&)>;

    explicit LiveCaptureEngine(std::unique_ptr<platform::AudioInputStream> stream);
    ~LiveCaptureEngine();
    LiveCaptureEngine(const LiveCaptureEngine&) = delete;
    LiveCaptureEngine& operator=(const LiveCaptureEngine&) = delete;

    // The device's format as buffers arrive in it: float32, interleaved.
    platform::PCMFormat inputFormat() const;

    // Buffers of bufferSize frames (at least 1) go to the tap.
    void installTap(uint32_t bufferSize, Tap tap);
    void removeTap();

    // Throws the sound server's error.
    void start();
    void pause();
    void stop();
    // Drops a partial buffer.
    void reset();
    bool isRunning() const;

  private:
    void deliver(const float* interleaved, size_t frames);

    std::unique_ptr<platform::AudioInputStream> stream_;
    platform::PCMFormat format_;
    mutable std::mutex m_;  // guards the tap and the partial buffer
    Tap tap_;
    std::optional<platform::PCMBuffer> pending_;
};

}  // namespace auralith
