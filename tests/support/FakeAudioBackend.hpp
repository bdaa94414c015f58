#pragma once
// A scriptable audio backend for tests: devices, formats and failures are set
// by the test, which then pushes buffers and configuration changes into the
// streams it opened, from whatever thread it likes.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioBackend.hpp"

namespace platform {

class FakeAudioBackend final : public AudioBackend {
  public:
    // The script. A stream takes what it needs of it when it is opened, so
    // a test may change it between starts. Guard changes made while other
    // threads use the backend with lock().
    struct Script {
        std::vector<AudioDeviceInfo> devices;
        std::optional<uint32_t> defaultDevice;
        AudioFormat format{48000, 1};
        // what() of the error thrown by setVoiceProcessingEnabled(true); none grants it.
        std::optional<std::string> voiceProcessingFailure;
        // what() of the error thrown by start(); none lets it start.
        // Thrown as AppError("FakeAudio", 7, text).
        std::optional<std::string> startFailure;
        // what() of the error thrown by openInput(); none opens.
        std::optional<std::string> openFailure;
        bool permission = true;
    };

    FakeAudioBackend() = default;

    Script& script() { return script_; }
    std::unique_lock<std::mutex> lock() { return std::unique_lock(m_); }

    std::vector<AudioDeviceInfo> inputDevices() override;
    std::optional<AudioDeviceInfo> defaultInputDevice() override;
    std::unique_ptr<AudioInputStream> openInput(std::optional<uint32_t> deviceID) override;
    bool requestPermission() override;

    // Calls the buffer handler of every running stream with these interleaved
    // samples, on the calling thread. Returns how many streams received them.
    int deliver(const std::vector<float>& interleaved);

    // Reports a configuration change to every open stream that observes. When
    // `stopsStreams` is true, running streams stop first, as when their
    // device goes away.
    void changeConfiguration(bool stopsStreams);

    int openCount() const;
    int runningCount() const;  // started, not stopped, not destroyed
    std::optional<uint32_t> lastRequestedDevice() const;
    bool lastVoiceProcessing() const;

  private:
    class Stream;
    struct State;

    mutable std::mutex m_;
    Script script_;
    std::vector<std::shared_ptr<State>> streams_;
};

}  // namespace platform
