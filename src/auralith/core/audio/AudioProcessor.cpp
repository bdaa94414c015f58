// The processor object: its shared sample buffer, the window cut, live
// capture and the energy measures. File loading is in AudioFileLoading.cpp,
// incremental loading in IncrementalFileLoading.cpp.

#include "auralith/core/audio/AudioProcessor.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <sstream>
#include <utility>

#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"

namespace auralith {

namespace {
constexpr int kEnergyLookBack = 20;
constexpr float kMinReference = 0.00000001f;

std::atomic<int> gPermissionOverride{-1};  // -1 none, 0 refused, 1 granted

}  // namespace

// Everything the capture thread touches. The tap holds it weakly, so a
// processor that goes away stops receiving buffers even if a delivery is
// still on its way.
struct AudioProcessor::State {
    mutable std::mutex m;  // guards the fields below
    std::vector<float> samples;
    std::vector<AudioEnergy> energy;
    AudioBufferCallback callback;
    int64_t relativeEnergyWindow = 20;
    int64_t minBufferLength = 1600;
    bool inputSuppressed = false;

    // Start, stop, pause and resume run one at a time; never held while
    // buffers are processed.
    std::recursive_mutex engineMutex;
    std::optional<uint32_t> lastInputDevice;
    std::shared_ptr<LiveCaptureEngine> engine;

    void process(std::vector<float> samples);
};

AudioProcessor::AudioProcessor() : AudioProcessor(platform::AudioBackend::system()) {}

AudioProcessor::AudioProcessor(std::shared_ptr<platform::AudioBackend> backend)
    : backend_(std::move(backend)), state_(std::make_shared<State>()) {}

AudioProcessor::~AudioProcessor() { stopRecording(); }

// ---- Sample buffer and settings ----

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard lock(state_->m);
    return state_->samples;
}

void AudioProcessor::setAudioSamples(std::vector<float> samples) {
    std::lock_guard lock(state_->m);
    state_->samples = std::move(samples);
}

void AudioProcessor::purgeAudioSamples(int64_t keepingLast) {
    // A negative count keeps nothing, as 0 does.
    const size_t keep = size_t(std::max<int64_t>(keepingLast, 0));
    std::lock_guard lock(state_->m);
    auto& s = state_->samples;
    if (s.size() > keep) s.erase(s.begin(), s.end() - std::ptrdiff_t(keep));
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
    std::lock_guard lock(state_->m);
    return state_->energy;
}

void AudioProcessor::setAudioEnergy(std::vector<AudioEnergy> energy) {
    std::lock_guard lock(state_->m);
    state_->energy = std::move(energy);
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard lock(state_->m);
    std::vector<float> rel;
    rel.reserve(state_->energy.size());
    for (const auto& e : state_->energy) rel.push_back(e.rel);
    return rel;
}

int64_t AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard lock(state_->m);
    return state_->relativeEnergyWindow;
}

void AudioProcessor::setRelativeEnergyWindow(int64_t window) {
    std::lock_guard lock(state_->m);
    state_->relativeEnergyWindow = window;
}

AudioBufferCallback AudioProcessor::audioBufferCallback() const {
    std::lock_guard lock(state_->m);
    return state_->callback;
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
    std::lock_guard lock(state_->m);
    state_->callback = std::move(callback);
}

int64_t AudioProcessor::minBufferLength() const {
    std::lock_guard lock(state_->m);
    return state_->minBufferLength;
}

void AudioProcessor::setMinBufferLength(int64_t frames) {
    std::lock_guard lock(state_->m);
    state_->minBufferLength = frames;
}

bool AudioProcessor::isInputSuppressed() const {
    std::lock_guard lock(state_->m);
    return state_->inputSuppressed;
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
    std::lock_guard lock(state_->m);
    state_->inputSuppressed = suppressed;
}

std::shared_ptr<LiveCaptureEngine> AudioProcessor::audioEngine() const {
    std::lock_guard lock(state_->engineMutex);
    return state_->engine;
}

// ---- Windows ----

std::shared_ptr<platform::ml::MLMultiArray> AudioProcessing::padOrTrimAudio(
    const std::vector<float>& samples, int64_t startAt, int64_t toLength, bool /*saveSegment*/) {
    const int64_t count = int64_t(samples.size());
    if (startAt < 0 || startAt >= count) {
        Logging::error("startIndex is outside the buffer size");
        return nullptr;
    }
    if (toLength <= 0) {
        Logging::error("Window length must be greater than 0");
        return nullptr;
    }
    const int64_t end = std::min(startAt + std::min(toLength, count), count);
    const int64_t copied = end - startAt;
    // Filled here rather than zero-initialised: one copy and one clear of the tail.
    const size_t bytes = size_t(toLength) * sizeof(float);
    const size_t alignment = platform::ml::MLMultiArray::kAlignment;
    void* data = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (data == nullptr) {
        Logging::error("Failed to allocate a window of", toLength, "samples");
        return nullptr;
    }
    auto array = std::make_shared<platform::ml::MLMultiArray>(
        data, std::vector<int64_t>{toLength}, platform::ml::MLMultiArrayDataType::float32,
        [](void* p) { std::free(p); });
    auto* out = static_cast<float*>(data);
    std::memcpy(out, samples.data() + startAt, size_t(copied) * sizeof(float));
    std::memset(out + copied, 0, size_t(toLength - copied) * sizeof(float));
    return array;
}

std::shared_ptr<AudioProcessorOutputType> AudioProcessor::padOrTrim(
    const std::vector<float>& samples, int64_t startAt, int64_t toLength) {
    return padOrTrimAudio(samples, startAt, toLength, false);
}

// ---- Energy ----

float AudioProcessor::calculateAverageEnergy(const std::vector<float>& samples) {
    if (samples.empty()) return 0;
    double sum = 0;
    for (float s : samples) sum += double(s) * double(s);
    return float(std::sqrt(sum / double(samples.size())));
}

AudioEnergyStats AudioProcessor::calculateEnergy(const std::vector<float>& samples) {
    AudioEnergyStats stats;
    stats.avg = calculateAverageEnergy(samples);
    if (samples.empty()) return stats;
    float mx = 0, mn = std::numeric_limits<float>::infinity();
    for (float s : samples) {
        const float a = std::fabs(s);
        mx = std::max(mx, a);
        mn = std::min(mn, a);
    }
    stats.max = mx;
    stats.min = mn;
    return stats;
}

namespace {
float relativeLevel(float rms, std::optional<float> reference) {
    const float r = reference ? 20.0f * std::log10(std::max(*reference, kMinReference)) : -60.0f;
    float rel = (20.0f * std::log10(rms) - r) / (0.0f - r);
    rel = std::max(std::min(rel, 1.0f), 0.0f);
    return std::isnan(rel) ? 0.0f : rel;
}
}  // namespace

float AudioProcessor::calculateRelativeEnergy(const std::vector<float>& samples,
                                              std::optional<float> reference) {
    return relativeLevel(calculateAverageEnergy(samples), reference);
}

bool AudioProcessor::isVoiceDetected(const std::vector<float>& energies, float nextBufferInSeconds,
                                     float silenceThreshold) {
    // Single precision, as the buffer count has always been computed.
    const double buffers = double(nextBufferInSeconds / 0.1f);
    // A NaN or negative span looks at nothing; a huge one at everything.
    const size_t n = buffers > 0 ? size_t(std::min(buffers, double(energies.size()))) : 0;
    const size_t recentStart = energies.size() - std::min(n, energies.size());
    const size_t recentCount = energies.size() - recentStart;
    const size_t k = std::max<int64_t>(int64_t(recentCount) - 10, 10);
    const size_t examined = std::min(k, recentCount);
    for (size_t i = 0; i < examined; ++i)
        if (energies[recentStart + i] > silenceThreshold) return true;
    return false;
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(const std::vector<float>& samples,
                                                                 int64_t chunkCount,
                                                                 int64_t frameLengthSamples,
                                                                 int64_t frameOverlapSamples,
                                                                 float energyThreshold) {
    return EnergyVAD::voiceActivityInChunks(samples, chunkCount, frameLengthSamples,
                                            frameOverlapSamples, energyThreshold);
}

std::vector<VoiceActivityDetector::IndexRange> AudioProcessor::calculateNonSilentChunks(
    const std::vector<float>& samples) {
    return EnergyVAD(16000, 1600, 0, 0.02f).calculateActiveChunks(samples);
}

// ---- Live capture ----

bool AudioProcessor::requestRecordPermission() {
    const int v = gPermissionOverride.load();
    if (v == 0) {
        Logging::error("Microphone access denied");
        return false;
    }
    return true;
}

void AudioProcessor::setRecordPermissionForTesting(std::optional<bool> granted) {
    gPermissionOverride.store(granted ? int(*granted) : -1);
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
    return getAudioDevices(*platform::AudioBackend::system());
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices(platform::AudioBackend& backend) {
    std::vector<AudioDevice> devices;
    for (const auto& info : backend.inputDevices())
        if (info.inputChannels > 0) devices.emplace_back(info.id, info.name);
    if (devices.empty()) Logging::debug("No audio input devices found");
    return devices;
}

void AudioProcessor::suppressInputIfNeeded(std::vector<float>& samples) const {
    if (isInputSuppressed()) std::fill(samples.begin(), samples.end(), 0.0f);
}

void AudioProcessor::processBuffer(const std::vector<float>& samples) { state_->process(samples); }

void AudioProcessor::State::process(std::vector<float> buffer) {
    const AudioEnergyStats stats = calculateEnergy(buffer);
    AudioBufferCallback cb;
    AudioEnergy entry;
    size_t total = 0;
    int64_t period = 0;
    {
        std::lock_guard lock(m);
        samples.insert(samples.end(), buffer.begin(), buffer.end());
        std::optional<float> floor;
        const size_t from = energy.size() - std::min<size_t>(energy.size(), kEnergyLookBack);
        for (size_t i = from; i < energy.size(); ++i)
            floor = floor ? std::min(*floor, energy[i].avg) : energy[i].avg;
        // No earlier buffer: the floor is +infinity, which makes the level NaN and so 0.
        entry = AudioEnergy{
            relativeLevel(stats.avg, floor ? *floor : std::numeric_limits<float>::infinity()),
            stats.avg, stats.max, stats.min};
        energy.push_back(entry);
        cb = callback;
        total = samples.size();
        period =
            minBufferLength > 0 && relativeEnergyWindow > 0 &&
                    minBufferLength <= std::numeric_limits<int64_t>::max() / relativeEnergyWindow
                ? minBufferLength * relativeEnergyWindow
                : 0;
    }
    if (cb) cb(buffer);
    if (period > 0 && total % size_t(period) == 0 &&
        Logging::isLoggingEnabled(Logging::LogLevel::debug)) {
        std::ostringstream tuple;
        tuple << "(rel: " << entry.rel << ", avg: " << entry.avg << ", max: " << entry.max
              << ", min: " << entry.min << ")";
        Logging::debug("Current audio size: " + std::to_string(total) +
                       " samples, most recent buffer: " + std::to_string(buffer.size()) +
                       " samples, most recent energy: " + tuple.str());
    }
}

std::shared_ptr<LiveCaptureEngine> AudioProcessor::setupEngine(
    std::optional<uint32_t> inputDeviceID) {
    setupAudioSessionForDevice();
    // Choosing the device happens here: the stream opens on it, or on the
    // default input when it names no current device.
    auto engine = std::make_shared<LiveCaptureEngine>(backend_->openInput(inputDeviceID));
    const platform::PCMFormat inputFormat = engine->inputFormat();
    if (!(inputFormat.sampleRate > 0) || inputFormat.channelCount == 0)
        throw WhisperError::audioProcessingFailed("Failed to create node format");
    const platform::PCMFormat desired{platform::CommonFormat::pcmFormatFloat32, 16000, 1, false};
    std::string reason;
    std::shared_ptr<platform::AudioConverter> converter =
        platform::AudioConverter::create(inputFormat, desired, &reason);
    if (!converter) throw WhisperError::audioProcessingFailed("Failed to create audio converter");

    const int64_t bufferLength = minBufferLength();
    const uint32_t tapFrames =
        uint32_t(std::clamp<int64_t>(bufferLength, 1, std::numeric_limits<uint32_t>::max()));
    std::weak_ptr<State> weakState = state_;
    engine->installTap(tapFrames, [weakState, converter](const platform::PCMBuffer& buffer) {
        auto state = weakState.lock();
        if (!state) return;
        std::vector<float> samples;
        try {
            if (buffer.format().sampleRate == 16000 && buffer.format().channelCount == 1) {
                samples.assign(buffer.floatChannelData()[0],
                               buffer.floatChannelData()[0] + buffer.frameLength());
            } else {
                platform::PCMBuffer converted = resampleBuffer(buffer, *converter);
                samples = convertBufferToArray(converted, 1024);
            }
        } catch (const std::exception& e) {
            Logging::error("Failed to resample buffer: " + std::string(e.what()));
            return;
        }
        bool suppressed;
        {
            std::lock_guard lock(state->m);
            suppressed = state->inputSuppressed;
        }
        if (suppressed) std::fill(samples.begin(), samples.end(), 0.0f);
        state->process(std::move(samples));
    });
    engine->start();
    return engine;
}

void AudioProcessor::startRecordingLive(std::optional<uint32_t> inputDeviceID,
                                        AudioBufferCallback callback) {
    std::lock_guard engineLock(state_->engineMutex);
    // A capture that is still running would keep feeding the cleared buffer.
    if (state_->engine) stopRecording();
    AudioBufferCallback previous;
    {
        std::lock_guard lock(state_->m);
        state_->samples.clear();
        state_->energy.clear();
        // Set before the engine starts so that its first buffer reaches the caller.
        previous = std::exchange(state_->callback, callback);
    }
    try {
        state_->engine = setupEngine(inputDeviceID);
    } catch (...) {
        // A start that failed stores nothing.
        setAudioBufferCallback(std::move(previous));
        throw;
    }
    state_->lastInputDevice = inputDeviceID;
}

std::shared_ptr<AudioSampleStream> AudioProcessor::startStreamingRecordingLive(
    std::optional<uint32_t> inputDeviceID) {
    auto stream = AudioSampleStream::make();
    std::weak_ptr<State> weakState = state_;
    std::weak_ptr<platform::AudioBackend> weakBackend = backend_;
    // The stream can outlive this object: its end reaches the capture through
    // the shared state, never through `this`.
    stream->setOnTermination([weakState] {
        auto state = weakState.lock();
        if (!state) return;
        std::shared_ptr<LiveCaptureEngine> engine;
        {
            std::lock_guard engineLock(state->engineMutex);
            {
                std::lock_guard lock(state->m);
                state->callback = nullptr;
            }
            engine = std::move(state->engine);
        }
        if (engine) {
            engine->stop();
            engine->removeTap();
            engine->reset();
        }
    });
    std::weak_ptr<AudioSampleStream> weakStream = stream;
    try {
        startRecordingLive(inputDeviceID, [weakStream](const std::vector<float>& samples) {
            if (auto s = weakStream.lock()) s->yield(samples);
        });
    } catch (...) {
        stream->finish(std::current_exception());
    }
    return stream;
}

void AudioProcessor::pauseRecording() {
    std::lock_guard engineLock(state_->engineMutex);
    if (state_->engine) state_->engine->pause();
}

void AudioProcessor::resumeRecordingLive(std::optional<uint32_t> inputDeviceID,
                                         AudioBufferCallback callback) {
    std::lock_guard engineLock(state_->engineMutex);
    if (inputDeviceID == state_->lastInputDevice) {
        if (state_->engine && !state_->engine->isRunning()) state_->engine->start();
    } else {
        // The old engine goes first, or both would append to one buffer.
        if (auto old = std::move(state_->engine)) {
            old->stop();
            old->removeTap();
            old->reset();
        }
        state_->engine = setupEngine(inputDeviceID);
    }
    if (callback) setAudioBufferCallback(std::move(callback));
}

void AudioProcessor::stopRecording() {
    std::shared_ptr<LiveCaptureEngine> engine;
    {
        std::lock_guard engineLock(state_->engineMutex);
        engine = std::move(state_->engine);
    }
    if (!engine) return;
    engine->stop();
    engine->removeTap();
    engine->reset();
}

}  // namespace auralith
