#pragma once
// One capture stream opened on an input device: the device's native format,
// an optional echo-cancelling path, float buffers delivered on the backend's
// audio thread, and notice of audio configuration changes. Destroying the
// stream stops it.

#include <functional>

#include "platform/audio/AudioFormat.hpp"

namespace platform {

class AudioInputStream {
  public:
    // Interleaved samples in format(); called on the audio thread.
    using BufferHandler = std::function<void(const float* interleaved, size_t frames)>;
    // A device appeared or went away, the default device changed, or this
    // stream was stopped by the system. Called on a backend thread.
    using ChangeHandler = std::function<void()>;

    virtual ~AudioInputStream() = default;

    // Routes capture through echo cancellation. Throws (with a readable
    // what()) when the system cannot provide it; the stream is then unchanged.
    virtual void setVoiceProcessingEnabled(bool enabled) = 0;

    // The format buffers will arrive in; rate 0 and no channels when the
    // stream found no usable input device.
    virtual AudioFormat format() const = 0;

    // Replaces the change handler; an empty one stops the notices.
    virtual void setConfigurationChangeHandler(ChangeHandler handler) = 0;

    // Starts delivering buffers. Throws the backend's error on failure.
    virtual void start(BufferHandler handler) = 0;

    // Stops delivery; once it returns the buffer handler is not called again.
    virtual void stop() = 0;

    // Delivering buffers: started, and not stopped by us or by the system.
    virtual bool isRunning() const = 0;
};

}  // namespace platform
