#include "verbolin/listening/AudioCapture.hpp"

#include <chrono>
#include <mutex>

#include "platform/audio/Resampler.hpp"
#include "platform/system/AppError.hpp"

namespace verbolin {

using platform::AppError;
using platform::AudioInputStream;
using platform::Date;

// The capture's state. Tasks on the main executor hold it weakly, so a
// capture that is gone is simply not restarted.
class AudioCapture::Core : public std::enable_shared_from_this<Core> {
  public:
    Core(std::shared_ptr<platform::AudioBackend> backend, platform::MainExecutor& main,
         const platform::Clock& clock, std::shared_ptr<DebugRecorder> recorder)
        : backend_(std::move(backend)),
          main_(main),
          clock_(clock),
          recorder_(std::move(recorder)) {}

    std::shared_ptr<Stream> start(const Options& options, ConfigurationChange onChange);
    void stop();
    void handleConfigurationChange(uint64_t engineSerial);
    void restart(uint64_t generation, std::chrono::milliseconds delay);

  private:
    void record(const char* name, const std::string& detail) {
        if (recorder_) recorder_->event(name, detail);
    }
    void startEngine();                                     // m_ held
    void teardownEngine();                                  // m_ held
    void scheduleRestart(std::chrono::milliseconds delay);  // m_ held

    const std::shared_ptr<platform::AudioBackend> backend_;
    platform::MainExecutor& main_;
    const platform::Clock& clock_;
    const std::shared_ptr<DebugRecorder> recorder_;

    std::mutex m_;
    std::unique_ptr<AudioInputStream> engine_;
    Options options_;
    std::shared_ptr<Stream> continuation_;  // none: stopped
    ConfigurationChange onConfigurationChange_;
    std::vector<Date> restarts_;
    // Counts starts and stops; a restart scheduled under an older value
    // belongs to a capture run that has ended and does nothing.
    uint64_t generation_ = 0;
    // Identifies the open engine; notices queued by an engine that has since
    // been torn down carry an older value and are dropped, as if its observer
    // had been removed before they arrived.
    uint64_t engineSerial_ = 0;
};

std::shared_ptr<AudioCapture::Stream> AudioCapture::Core::start(const Options& options,
                                                                ConfigurationChange onChange) {
    std::lock_guard lock(m_);
    ++generation_;
    options_ = options;
    onConfigurationChange_ = std::move(onChange);
    // Starting again without a stop ends the previous stream's consumer.
    if (continuation_) continuation_->finish();
    auto stream = Stream::make();
    continuation_ = stream;
    try {
        startEngine();
    } catch (...) {
        // Nothing of a failed start stays behind: no open device, and no
        // stream that a later configuration change could restart.
        teardownEngine();
        continuation_.reset();
        stream->finish();
        throw;
    }
    return stream;
}

void AudioCapture::Core::stop() {
    std::lock_guard lock(m_);
    ++generation_;
    teardownEngine();
    if (continuation_) continuation_->finish();
    continuation_.reset();
}

void AudioCapture::Core::startEngine() {
    // Never two devices open at once, even when restarts pile up.
    teardownEngine();

    std::unique_ptr<AudioInputStream> input = backend_->openInput(options_.deviceID);

    bool voiceProcessing = false;
    if (options_.echoCancellation) {
        try {
            input->setVoiceProcessingEnabled(true);
            voiceProcessing = true;
        } catch (const std::exception& e) {
            record("aec_unavailable", e.what());
        }
    }

    const platform::AudioFormat format = input->format();
    if (!format.isUsable())
        throw AppError(kErrorDomain, noUsableInputDevice, "No usable input device");

    std::shared_ptr<platform::Resampler> converter = platform::Resampler::create(format);
    if (!converter)
        throw AppError(kErrorDomain, cannotConvert,
                       "Cannot convert " + format.description() + " to 16 kHz mono");
    const double ratio = 16000.0 / format.sampleRate;

    // The audio thread works only with what it is handed here.
    std::shared_ptr<Stream> continuation = continuation_;
    auto tap = [converter, ratio, continuation](const float* data, size_t frames) {
        const size_t capacity = size_t(uint32_t(double(frames) * ratio)) + 32;
        Samples out(capacity);
        long n = converter->convert(data, frames, out.data(), capacity);
        if (n <= 0 || !continuation) return;
        out.resize(size_t(n));
        continuation->yield(std::move(out));
    };

    std::weak_ptr<Core> weak = weak_from_this();
    platform::MainExecutor* main = &main_;
    const uint64_t serial = ++engineSerial_;
    input->setConfigurationChangeHandler([weak, main, serial] {
        main->post([weak, serial] {
            if (auto core = weak.lock()) core->handleConfigurationChange(serial);
        });
    });

    input->start(tap);
    engine_ = std::move(input);

    std::string detail = "device=";
    detail += options_.deviceID ? std::to_string(*options_.deviceID) : "default";
    detail += voiceProcessing ? " aec=true" : " aec=false";
    detail += " format=" + std::to_string(int64_t(format.sampleRate)) + "Hz/" +
              std::to_string(format.channels) + "ch";
    record("audio_start", detail);
}

void AudioCapture::Core::teardownEngine() {
    ++engineSerial_;
    if (!engine_) return;
    engine_->setConfigurationChangeHandler(nullptr);
    engine_->stop();
    engine_.reset();
}

void AudioCapture::Core::handleConfigurationChange(uint64_t engineSerial) {
    std::lock_guard lock(m_);
    if (!continuation_) return;
    // One device event often brings several notices (the stream ends, the
    // device is removed, the default changes); only the first one that finds
    // its engine still current counts.
    if (!engine_ || engineSerial != engineSerial_) return;
    if (engine_->isRunning()) {
        record("audio_config_change", "engine still running; ignored");
        return;
    }
    const Date now = clock_.now();
    std::erase_if(restarts_, [&](Date d) { return platform::secondsBetween(d, now) >= 10.0; });
    restarts_.push_back(now);
    record("audio_config_change",
           "restarting capture (" + std::to_string(restarts_.size()) + " in 10 s)");
    teardownEngine();
    if (restarts_.size() > 5) {
        record("audio_error", "too many configuration changes; giving up");
        continuation_->finish();
        return;
    }
    scheduleRestart(kFirstRetryDelay);
}

void AudioCapture::Core::scheduleRestart(std::chrono::milliseconds delay) {
    std::weak_ptr<Core> weak = weak_from_this();
    const uint64_t generation = generation_;
    main_.postAfter(delay, [weak, generation, delay] {
        if (auto core = weak.lock()) core->restart(generation, delay);
    });
}

void AudioCapture::Core::restart(uint64_t generation, std::chrono::milliseconds delay) {
    ConfigurationChange notify;
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_);
        if (!continuation_ || generation != generation_) return;
        try {
            startEngine();
        } catch (const std::exception& e) {
            record("audio_error", e.what());
            failure = e.what();
            // The device (or the whole audio server) may come back at any
            // time; keep asking, less often the longer it stays away.
            scheduleRestart(std::min(delay * 2, kLongestRetryDelay));
        }
        notify = onConfigurationChange_;
    }
    if (notify) notify(failure);
}

AudioCapture::AudioCapture(std::shared_ptr<platform::AudioBackend> backend,
                           platform::MainExecutor& main, const platform::Clock& clock,
                           std::shared_ptr<DebugRecorder> recorder)
    : core_(std::make_shared<Core>(std::move(backend), main, clock, std::move(recorder))) {}

AudioCapture::~AudioCapture() { core_->stop(); }

std::shared_ptr<AudioCapture::Stream> AudioCapture::start(
    const Options& options, ConfigurationChange onConfigurationChange) {
    return core_->start(options, std::move(onConfigurationChange));
}

void AudioCapture::stop() { core_->stop(); }

std::vector<AudioCapture::Device> AudioCapture::inputDevices(platform::AudioBackend& backend) {
    std::vector<Device> out;
    for (const auto& d : backend.inputDevices())
        if (d.inputChannels >= 1) out.push_back({d.id, d.name});
    return out;
}

std::vector<AudioCapture::Device> AudioCapture::inputDevices() {
    return inputDevices(*platform::AudioBackend::system());
}

bool AudioCapture::requestPermission(platform::AudioBackend& backend) {
    return backend.requestPermission();
}

bool AudioCapture::requestPermission() {
    return requestPermission(*platform::AudioBackend::system());
}

}  // namespace verbolin
