#pragma once
// The microphone, as a stream of 16 kHz mono float sample arrays. It opens
// the chosen input device (or the default one) through the audio backend,
// optionally with echo cancellation, converts every buffer on the audio
// thread, and rebuilds itself when the audio configuration changes, giving
// up when that happens too often. A rebuild that fails (no device, no audio
// server) is tried again, 0.3 s later at first and doubling up to every 5 s,
// until it succeeds or the capture stops; the stream stays open meanwhile.
//
// Threads: start() and stop() run on the owner's executor; configuration
// changes and restarts run on the main executor; conversion runs on the
// backend's audio thread. A mutex orders the first two, so a restart never
// leaves a device open once stop() has returned.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioBackend.hpp"
#include "platform/system/AsyncStream.hpp"
#include "platform/system/Clock.hpp"
#include "platform/system/MainExecutor.hpp"
#include "verbolin/listening/DebugRecorder.hpp"

namespace verbolin {

class AudioCapture {
  public:
    struct Options {
        std::optional<uint32_t> deviceID;  // none: the system's default input
        bool echoCancellation = true;
    };

    struct Device {
        uint32_t id = 0;
        std::string name;
        friend bool operator==(const Device&, const Device&) = default;
    };

    using Samples = std::vector<float>;
    using Stream = platform::AsyncStream<Samples>;

    // Error domain of start()'s own failures; the backend's errors pass unchanged.
    static constexpr const char* kErrorDomain = "AudioCapture";
    enum ErrorCode : long { noUsableInputDevice = 1, cannotConvert = 2 };

    // `main` and `clock` must outlive the capture. `recorder` receives the
    // debug events; null records nothing.
    AudioCapture(std::shared_ptr<platform::AudioBackend> backend, platform::MainExecutor& main,
                 const platform::Clock& clock = platform::Clock::system(),
                 std::shared_ptr<DebugRecorder> recorder = DebugRecorder::shared());
    // Stops: the microphone is never left open by a capture that is gone.
    ~AudioCapture();

    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Delays between the attempts to rebuild after a configuration change.
    static constexpr std::chrono::milliseconds kFirstRetryDelay{300};
    static constexpr std::chrono::milliseconds kLongestRetryDelay{5000};

    // Called on the main executor after every restart attempt: with none when
    // the capture was rebuilt, otherwise with the description of the error
    // that left it without a device (its stream then stays open but silent
    // until a later attempt succeeds).
    using ConfigurationChange = std::function<void(const std::optional<std::string>& restartError)>;

    // Opens the device and returns the stream of converted buffers (unbounded).
    // On failure nothing stays open and the error is thrown:
    // AppError("AudioCapture", 1 or 2, ...) or the backend's own.
    std::shared_ptr<Stream> start(const Options& options,
                                  ConfigurationChange onConfigurationChange = {});

    // Closes the device and finishes the stream. Safe against a restart that
    // is pending or running on the main executor. The backend's stop waits
    // out a buffer being delivered, so once this returns the stream holds
    // every buffer captured before it and takes no later one: its consumer
    // reads those, then the end.
    void stop();

    // Input devices in the system's order.
    static std::vector<Device> inputDevices(platform::AudioBackend& backend);
    static std::vector<Device> inputDevices();  // on AudioBackend::system()

    // Whether recording is allowed (always on Linux; a fake backend may refuse).
    static bool requestPermission(platform::AudioBackend& backend);
    static bool requestPermission();

  private:
    class Core;
    std::shared_ptr<Core> core_;
};

}  // namespace verbolin

template <>
struct std::hash<verbolin::AudioCapture::Device> {
    size_t operator()(const verbolin::AudioCapture::Device& d) const noexcept {
        return std::hash<uint32_t>{}(d.id) ^ (std::hash<std::string>{}(d.name) << 1);
    }
};
