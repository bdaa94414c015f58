#include "support/FakeAudioBackend.hpp"

#include <stdexcept>

#include "platform/system/AppError.hpp"

namespace platform {

struct FakeAudioBackend::State {
    std::mutex m;
    std::optional<uint32_t> device;
    AudioFormat format;
    std::optional<std::string> voiceProcessingFailure;
    std::optional<std::string> startFailure;
    bool voiceProcessing = false;
    bool running = false;
    bool destroyed = false;
    AudioInputStream::BufferHandler onBuffer;
    AudioInputStream::ChangeHandler onChange;
};

class FakeAudioBackend::Stream final : public AudioInputStream {
  public:
    explicit Stream(std::shared_ptr<State> s) : s_(std::move(s)) {}
    ~Stream() override {
        std::lock_guard lock(s_->m);
        s_->running = false;
        s_->destroyed = true;
        s_->onBuffer = nullptr;
        s_->onChange = nullptr;
    }

    void setVoiceProcessingEnabled(bool enabled) override {
        std::lock_guard lock(s_->m);
        if (enabled && s_->voiceProcessingFailure)
            throw std::runtime_error(*s_->voiceProcessingFailure);
        s_->voiceProcessing = enabled;
    }
    AudioFormat format() const override {
        std::lock_guard lock(s_->m);
        return s_->format;
    }
    void setConfigurationChangeHandler(ChangeHandler handler) override {
        std::lock_guard lock(s_->m);
        s_->onChange = std::move(handler);
    }
    void start(BufferHandler handler) override {
        std::lock_guard lock(s_->m);
        if (s_->startFailure) throw AppError("FakeAudio", 7, *s_->startFailure);
        s_->onBuffer = std::move(handler);
        s_->running = true;
    }
    void stop() override {
        std::lock_guard lock(s_->m);  // waits for a delivery in progress
        s_->running = false;
        s_->onBuffer = nullptr;
    }
    bool isRunning() const override {
        std::lock_guard lock(s_->m);
        return s_->running;
    }

  private:
    std::shared_ptr<State> s_;
};

std::vector<AudioDeviceInfo> FakeAudioBackend::inputDevices() {
    std::lock_guard lock(m_);
    std::vector<AudioDeviceInfo> out;
    for (const auto& d : script_.devices)
        if (d.inputChannels >= 1) out.push_back(d);
    return out;
}

std::optional<AudioDeviceInfo> FakeAudioBackend::defaultInputDevice() {
    std::lock_guard lock(m_);
    for (const auto& d : script_.devices)
        if (script_.defaultDevice && d.id == *script_.defaultDevice && d.inputChannels >= 1)
            return d;
    return std::nullopt;
}

std::unique_ptr<AudioInputStream> FakeAudioBackend::openInput(std::optional<uint32_t> deviceID) {
    std::lock_guard lock(m_);
    if (script_.openFailure) throw AppError("FakeAudio", 8, *script_.openFailure);
    auto s = std::make_shared<State>();
    s->device = deviceID;
    s->format = script_.format;
    s->voiceProcessingFailure = script_.voiceProcessingFailure;
    s->startFailure = script_.startFailure;
    streams_.push_back(s);
    return std::make_unique<Stream>(s);
}

bool FakeAudioBackend::requestPermission() {
    std::lock_guard lock(m_);
    return script_.permission;
}

int FakeAudioBackend::deliver(const std::vector<float>& interleaved) {
    std::vector<std::shared_ptr<State>> streams;
    {
        std::lock_guard lock(m_);
        streams = streams_;
    }
    int delivered = 0;
    for (auto& s : streams) {
        std::lock_guard lock(s->m);
        if (!s->running || !s->onBuffer || s->format.channels == 0) continue;
        s->onBuffer(interleaved.data(), interleaved.size() / s->format.channels);
        ++delivered;
    }
    return delivered;
}

void FakeAudioBackend::changeConfiguration(bool stopsStreams) {
    std::vector<std::shared_ptr<State>> streams;
    {
        std::lock_guard lock(m_);
        streams = streams_;
    }
    for (auto& s : streams) {
        AudioInputStream::ChangeHandler notify;
        {
            std::lock_guard lock(s->m);
            if (s->destroyed) continue;
            if (stopsStreams) s->running = false;
            notify = s->onChange;
        }
        if (notify) notify();
    }
}

int FakeAudioBackend::openCount() const {
    std::lock_guard lock(m_);
    return int(streams_.size());
}

int FakeAudioBackend::runningCount() const {
    std::lock_guard lock(m_);
    int n = 0;
    for (auto& s : streams_) {
        std::lock_guard slock(s->m);
        if (s->running) ++n;
    }
    return n;
}

std::optional<uint32_t> FakeAudioBackend::lastRequestedDevice() const {
    std::lock_guard lock(m_);
    if (streams_.empty()) return std::nullopt;
    std::lock_guard slock(streams_.back()->m);
    return streams_.back()->device;
}

bool FakeAudioBackend::lastVoiceProcessing() const {
    std::lock_guard lock(m_);
    if (streams_.empty()) return false;
    std::lock_guard slock(streams_.back()->m);
    return streams_.back()->voiceProcessing;
}

}  // namespace platform
