#pragma once
// One transcription of an in-memory array of 16 kHz mono samples: the window
// loop at the centre of the recognition road. Each window of at most 30 s is
// padded, turned into mel features, encoded, decoded with temperature
// fallback, cut into timed segments (optionally with word timings) and
// accumulated; the result is built once the last window is done.
//
// The stages are held through their interfaces, so any implementation can be
// supplied. A task may run several times, one run at a time; the timings keep
// accumulating across runs. Every operation is virtual, and run() reaches the
// hooks, decodeWithFallback and finalizeTranscriptionResult through virtual
// calls, so a subclass may replace any of them.
//
// Threads: run() works on the calling thread and blocks it; it honours the
// thread's TaskCancellation token at three points per window. The progress
// callback is called from the decoder's threads, the segment callback from the
// running thread. timings() and the callbacks may be read or set from any
// thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/AudioEncoding.hpp"
#include "auralith/core/DecodingInputsType.hpp"
#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/DecodingResult.hpp"
#include "auralith/core/FeatureExtracting.hpp"
#include "auralith/core/TextDecoding.hpp"
#include "auralith/core/TranscriptionResult.hpp"
#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/TranscriptionTimings.hpp"
#include "auralith/core/WhisperTokenizer.hpp"
#include "auralith/core/audio/AudioProcessing.hpp"
#include "auralith/core/text/SegmentSeeking.hpp"
#include "platform/system/Progress.hpp"

namespace auralith {

class TranscribeTask {
  public:
    // Called once for each window whose segments are accumulated, before they
    // are; it must be safe to call from any thread.
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

    static constexpr std::int64_t sampleRate = 16000;

    // A null progress becomes a new one; a null audio processor a new
    // AudioProcessor. The other stages and the tokenizer must be given.
    TranscribeTask(TranscriptionTimings currentTimings,
                   std::shared_ptr<platform::Progress> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor,
                   std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor,
                   std::shared_ptr<SegmentSeeking> segmentSeeker,
                   std::shared_ptr<TextDecoding> textDecoder,
                   std::shared_ptr<WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;

    TranscribeTask(const TranscribeTask&) = delete;
    TranscribeTask& operator=(const TranscribeTask&) = delete;

    virtual TranscriptionTimings timings() const;
    virtual void setTimings(TranscriptionTimings timings);
    virtual std::shared_ptr<WhisperTokenizer> tokenizer() const;
    virtual void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer);
    virtual SegmentDiscoveryCallback segmentDiscoveryCallback() const;
    virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback);

    // Sample counts: the total is the length of all seek clips.
    const std::shared_ptr<platform::Progress>& progress() const { return progress_; }
    const std::shared_ptr<AudioProcessing>& audioProcessor() const { return audioProcessor_; }
    const std::shared_ptr<AudioEncoding>& audioEncoder() const { return audioEncoder_; }
    const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return featureExtractor_; }
    const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return segmentSeeker_; }
    const std::shared_ptr<TextDecoding>& textDecoder() const { return textDecoder_; }

    // Sees each padded window before its features are computed. Does nothing.
    virtual void windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>& window,
                                  std::int64_t seek, std::int64_t segmentSize);
    // May replace a window's segments before they are accumulated. Returns
    // them unchanged.
    virtual std::vector<TranscriptionSegment> windowPostProcess(
        std::int64_t seek, std::int64_t segmentSize,
        std::vector<TranscriptionSegment> originalSegments);

    // Transcribes the samples. No options means the default set. The
    // callback sees every decoding step's progress (with this run's window
    // id) and may stop the window early by returning false. Throws the
    // stages' errors, WhisperError::transcriptionFailed when a stage returns
    // nothing, and platform::CancellationError; nothing partial is returned.
    virtual std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                                     std::optional<DecodingOptions> decodeOptions,
                                                     TranscriptionCallback callback = {});

    // The result of a run: the text of the tokens below the special tokens,
    // trimmed of spaces and tabs; the segments and timings unchanged; the
    // language, "en" when none was found.
    virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
        const std::vector<std::int64_t>& tokens, std::vector<TranscriptionSegment> segments,
        const std::optional<std::string>& language, TranscriptionTimings timings);

  protected:
    // Decodes one window at the temperatures of the fallback schedule until a
    // result needs no fallback or the schedule ends, and returns the last
    // result. Detects the language first when the model is multilingual, no
    // language is set and detection is asked for. Adds the decoding timings
    // of every try to the task's. Throws WhisperError::decodingFailed when no
    // try ran (a negative fallback count).
    virtual DecodingResult decodeWithFallback(
        const std::shared_ptr<AudioEncoderOutputType>& encoderSegment,
        const DecodingOptions& decodingOptions, std::shared_ptr<DecodingInputsType>& decoderInputs,
        std::optional<std::string>& detectedLanguage, const TranscriptionCallback& callback);

    // The temperatures of the tries, in half precision: temperature + i x
    // increment for i = 0 ... fallback count, rounded to half at every step.
    static std::vector<platform::ml::Float16> temperatureSchedule(const DecodingOptions& options);

    // Changes the timings under their lock.
    template <class Change>
    void modifyTimings(Change&& change) {
        std::lock_guard lock(mutex_);
        change(timings_);
    }

  private:
    class Run;

    mutable std::mutex mutex_;
    TranscriptionTimings timings_;
    std::shared_ptr<platform::Progress> progress_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
};

}  // namespace auralith
