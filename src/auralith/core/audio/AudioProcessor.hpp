#pragma once
// The pipeline's audio stage: file loading and conversion to 16 kHz mono,
// live microphone capture into a growing sample buffer with one energy record
// per buffer, the energy measures other stages use, and the window cut for the
// mel model.
//
// The sample buffer, the energy records and the buffer callback are shared
// between the capture thread and readers on any thread; they sit behind one
// lock, getters return copies, and the callback runs outside the lock.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "auralith/core/audio/AudioDevice.hpp"
#include "auralith/core/audio/AudioEnergy.hpp"
#include "auralith/core/audio/AudioProcessing.hpp"
#include "auralith/core/audio/IncrementalFileChunk.hpp"
#include "auralith/core/audio/LiveCaptureEngine.hpp"
#include "auralith/core/audio/VoiceActivityDetector.hpp"
#include "platform/audio/AudioBackend.hpp"
#include "platform/audio/AudioConverter.hpp"
#include "platform/audio/AudioFile.hpp"
#include "platform/audio/PCMBuffer.hpp"

namespace auralith {

class AudioProcessor : public AudioProcessing {
  public:
    // Capture goes through the desktop's sound server.
    AudioProcessor();
    // Capture goes through the given backend (tests pass a scripted one).
    explicit AudioProcessor(std::shared_ptr<platform::AudioBackend> backend);
    // Stops a running capture.
    ~AudioProcessor() override;

    AudioProcessor(const AudioProcessor&) = delete;
    AudioProcessor& operator=(const AudioProcessor&) = delete;

    // ---- File loading (class-level; no object state is used) ----

    // "Resource path does not exist " + path when nothing is there.
    static platform::PCMBuffer loadAudioFromPath(
        const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt,
        std::optional<uint32_t> maxReadFrameSize = std::nullopt);
    // Reads [startTime, endTime) of an open file as 16 kHz mono. Times that are
    // negative or not finite, or a read size of 0, are refused; the range is
    // clamped to the file.
    static platform::PCMBuffer loadAudioFromFile(
        platform::AudioFile& file, const AudioInputOptions::ChannelMode& channelMode,
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt,
        std::optional<uint32_t> maxReadFrameSize = std::nullopt);
    static std::vector<float> loadAudioAsFloatArray(
        const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt);
    static std::vector<LoadAudioResult> loadAudioAt(
        const std::vector<std::string>& paths, const AudioInputOptions::ChannelMode& channelMode);

    // Reads frameCount frames (to the end when absent) from the file's read
    // position, maxReadFrameSize at a time, folding and resampling each read on
    // its own. Nothing (with an error log line) on failure.
    static std::optional<platform::PCMBuffer> resampleAudio(
        platform::AudioFile& file, double toSampleRate, uint32_t channelCount,
        const AudioInputOptions::ChannelMode& channelMode, std::optional<uint32_t> frameCount,
        uint32_t maxReadFrameSize);
    static std::optional<platform::PCMBuffer> resampleAudio(const platform::PCMBuffer& buffer,
                                                            double toSampleRate,
                                                            uint32_t channelCount);
    // Throws WhisperError.audioProcessingFailed.
    static platform::PCMBuffer resampleBuffer(const platform::PCMBuffer& buffer,
                                              platform::AudioConverter& converter);
    // The same buffer when it has one channel.
    static std::optional<platform::PCMBuffer> convertToMono(
        const platform::PCMBuffer& buffer, const AudioInputOptions::ChannelMode& mode);
    // The first channel's samples, copied in blocks of chunkSize frames; the
    // buffer's first channel is left zeroed.
    static std::vector<float> convertBufferToArray(platform::PCMBuffer& buffer,
                                                   int64_t chunkSize = 1024);

    // ---- Incremental loading ----

    // A stream of chunks of the file, positioned in the whole file, of which at
    // most maxBufferedChunks are outstanding (not yet signalled complete) at a
    // time. Throws WhisperError.loadAudioFailed for a bad duration, buffer count
    // or path; later failures end the stream with the error.
    static std::shared_ptr<platform::AsyncThrowingStream<IncrementalFileChunk>>
    loadFileIncrementally(const std::string& path,
                          const AudioInputOptions::ChannelMode& channelMode,
                          double chunkDurationSeconds, int64_t maxBufferedChunks,
                          int64_t maxChunkLength, std::shared_ptr<const VoiceActivityDetector> vad);

    // ---- AudioProcessing ----

    platform::PCMBuffer loadAudio(
        const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt,
        std::optional<uint32_t> maxReadFrameSize = std::nullopt) const override;
    std::vector<LoadAudioResult> loadAudio(
        const std::vector<std::string>& paths,
        const AudioInputOptions::ChannelMode& channelMode) const override;

    std::vector<float> audioSamples() const override;
    virtual void setAudioSamples(std::vector<float> samples);
    void purgeAudioSamples(int64_t keepingLast) override;

    virtual std::vector<AudioEnergy> audioEnergy() const;
    virtual void setAudioEnergy(std::vector<AudioEnergy> energy);
    std::vector<float> relativeEnergy() const override;
    int64_t relativeEnergyWindow() const override;
    void setRelativeEnergyWindow(int64_t window) override;

    virtual AudioBufferCallback audioBufferCallback() const;
    virtual void setAudioBufferCallback(AudioBufferCallback callback);

    virtual int64_t minBufferLength() const;
    virtual void setMinBufferLength(int64_t frames);

    virtual bool isInputSuppressed() const;
    // While set, captured samples are zeroed before they are stored, measured
    // or handed on.
    virtual void setInputSuppressed(bool suppressed);

    // The engine of the running or paused capture; null when idle.
    std::shared_ptr<LiveCaptureEngine> audioEngine() const;

    std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& samples,
                                                        int64_t startAt, int64_t toLength) override;

    // ---- Live capture ----

    // Input devices of the desktop's sound server (sources; the id is the
    // source index), or of the given backend.
    static std::vector<AudioDevice> getAudioDevices();
    static std::vector<AudioDevice> getAudioDevices(platform::AudioBackend& backend);
    // Linux has no microphone permission: true, unless a test refused it.
    static bool requestRecordPermission();
    static void setRecordPermissionForTesting(std::optional<bool> granted);

    void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                            AudioBufferCallback callback = nullptr) override;
    std::shared_ptr<AudioSampleStream> startStreamingRecordingLive(
        std::optional<uint32_t> inputDeviceID = std::nullopt) override;
    void pauseRecording() override;
    void stopRecording() override;
    void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                             AudioBufferCallback callback = nullptr) override;

    // A started engine whose tap converts each buffer to 16 kHz mono and hands
    // it to processBuffer. Throws WhisperError.audioProcessingFailed when the
    // input cannot be converted; start errors pass through.
    std::shared_ptr<LiveCaptureEngine> setupEngine(std::optional<uint32_t> inputDeviceID);
    // Nothing to do here: the device is chosen when the engine opens its stream.
    void setupAudioSessionForDevice() {}
    // Stores one converted buffer, records its energy and hands it on.
    void processBuffer(const std::vector<float>& samples);
    void suppressInputIfNeeded(std::vector<float>& samples) const;

    // ---- Energy ----

    static AudioEnergyStats calculateEnergy(const std::vector<float>& samples);
    // Root-mean-square; 0 for no samples.
    static float calculateAverageEnergy(const std::vector<float>& samples);
    // Level of the samples between the reference level (0) and full scale (1),
    // in decibels; -60 dB stands in for a missing reference.
    static float calculateRelativeEnergy(const std::vector<float>& samples,
                                         std::optional<float> reference);
    // Whether any of the energies that fall before the last second of the most
    // recent `nextBufferInSeconds` (one value per 0.1 s) is above the threshold.
    static bool isVoiceDetected(const std::vector<float>& energies, float nextBufferInSeconds,
                                float silenceThreshold);
    // Frame i covers [i*L, i*L + L + overlap), cut at the end of the samples;
    // a frame starting at or beyond the end is silent. Empty for a negative count.
    static std::vector<bool> calculateVoiceActivityInChunks(const std::vector<float>& samples,
                                                            int64_t chunkCount,
                                                            int64_t frameLengthSamples,
                                                            int64_t frameOverlapSamples,
                                                            float energyThreshold);
    // The voiced sample ranges found by the default energy detector (16 kHz,
    // frames of 1600 samples, threshold 0.02).
    static std::vector<VoiceActivityDetector::IndexRange> calculateNonSilentChunks(
        const std::vector<float>& samples);

  private:
    struct State;
    class EngineHolder;

    std::shared_ptr<platform::AudioBackend> backend_;
    std::shared_ptr<State> state_;
};

}  // namespace auralith
