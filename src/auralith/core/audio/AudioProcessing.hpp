#pragma once
// A stage of the recognition pipeline. Turns audio files and the microphone into
// the 16 kHz mono samples the models read, and cuts fixed-length windows out of
// a sample array for the mel-spectrogram model. The pipeline has its own
// implementation (AudioProcessor); a configuration may supply another one in its
// place (AuralithConfig::audioProcessor).
//
// Operations that are class-level on the implementation (file loading) are
// virtual here so that a replacement can take them over; AudioProcessor's own
// versions are also reachable without an object, under names that carry the
// argument label (AudioProcessor::loadAudioFromPath, ::loadAudioAt).

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "auralith/core/audio/AudioInputOptions.hpp"
#include "auralith/core/audio/WaveformImage.hpp"
#include "platform/audio/PCMBuffer.hpp"
#include "platform/ml/MLMultiArray.hpp"
#include "platform/system/AsyncThrowingStream.hpp"

namespace auralith {

// An audio window ready for the mel model: a one-dimensional float32 array of
// exactly the window length.
using AudioProcessorOutputType = platform::ml::MLMultiArray;

// Receives each converted live buffer (16 kHz mono), on the capture thread.
// It must not start, pause or stop the capture itself: the capture thread
// would wait for its own delivery to end.
using AudioBufferCallback = std::function<void(const std::vector<float>&)>;

// The outcome of loading one of several files: its samples, or what stopped it.
using LoadAudioResult = std::variant<std::vector<float>, std::exception_ptr>;

// The live buffers of a streaming capture, ended with an error when capture
// could not start. Finishing it (from either side) stops the capture.
using AudioSampleStream = platform::AsyncThrowingStream<std::vector<float>>;

class AudioProcessing {
  public:
    virtual ~AudioProcessing() = 0;

    // 1. Loads the file (or the part between startTime and endTime, in seconds) as
    // a 16 kHz mono buffer, reading at most maxReadFrameSize source frames at a time.
    // Throws WhisperError.
    virtual platform::PCMBuffer loadAudio(
        const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt,
        std::optional<uint32_t> maxReadFrameSize = std::nullopt) const = 0;

    // 2. Loads every file whole, in parallel; one result per path, in path order.
    virtual std::vector<LoadAudioResult> loadAudio(
        const std::vector<std::string>& paths,
        const AudioInputOptions::ChannelMode& channelMode) const = 0;

    // 3. A float32 array of `length` elements holding samples[startAt ..< startAt + length],
    // zero-padded past the end of the samples. Nothing (and an error log line) when
    // startAt is not an index of the samples or length is not positive.
    static std::shared_ptr<platform::ml::MLMultiArray> padOrTrimAudio(
        const std::vector<float>& samples, int64_t startAt = 0, int64_t toLength = 480000,
        bool saveSegment = false);

    // 4. A copy of the samples captured since the last start.
    virtual std::vector<float> audioSamples() const = 0;

    // 5. Drops all but the newest `keepingLast` samples.
    virtual void purgeAudioSamples(int64_t keepingLast) = 0;

    // 6. The relative energy of every captured buffer, in order.
    virtual std::vector<float> relativeEnergy() const = 0;

    // 7.
    virtual int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(int64_t window) = 0;

    // 8. Starts capturing from the device (the default input when absent). Throws.
    virtual void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                                    AudioBufferCallback callback = nullptr) = 0;

    // 9. Starts capturing into a stream of buffers; a failure to start ends the
    // stream with the error rather than throwing.
    virtual std::shared_ptr<AudioSampleStream> startStreamingRecordingLive(
        std::optional<uint32_t> inputDeviceID = std::nullopt) = 0;

    // 10.
    virtual void pauseRecording() = 0;

    // 11.
    virtual void stopRecording() = 0;

    // 12. Continues a paused capture, on another device when one is named. Throws.
    virtual void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                                     AudioBufferCallback callback = nullptr) = 0;

    // 13. padOrTrimAudio of the same arguments, as the output type.
    virtual std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& samples,
                                                                int64_t startAt,
                                                                int64_t toLength) = 0;

    // loadAudio(path, sum of all channels, whole file) on another thread; the
    // future carries its buffer or its error.
    std::future<platform::PCMBuffer> loadAudioAsync(const std::string& path) const;

    // The samples' raw bytes as a width x height image of 4-byte pixels; nothing
    // when the size is not finite and positive or there are too few samples.
    static std::optional<WaveformImage> createWaveformImage(const std::vector<float>& samples,
                                                            double width, double height);

  protected:
    AudioProcessing() = default;
    AudioProcessing(const AudioProcessing&) = default;
    AudioProcessing& operator=(const AudioProcessing&) = default;
};

inline AudioProcessing::~AudioProcessing() = default;

}  // namespace auralith
