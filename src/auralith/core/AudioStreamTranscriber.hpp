#pragma once
// Live transcription of the microphone: records through the audio processor
// and, whenever more than a second of new audio has arrived, transcribes the
// whole buffer again from the end of the last confirmed segment. Segments
// followed by at least requiredSegmentsForConfirmation newer ones are
// confirmed and kept; the newest stay unconfirmed and are replaced by the
// next pass.
//
// Own it through std::shared_ptr (create()): the capture and decoder
// callbacks hold it weakly. startStreamTranscription() blocks its thread
// until stopStreamTranscription() (from any thread) or a failed pass. The
// state is guarded by a lock; stateChangeCallback is called, in order, on
// whichever thread made the change (the capture thread for bufferEnergy), so
// hosts hop to their own thread for UI work.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/AudioEncoding.hpp"
#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/FeatureExtracting.hpp"
#include "auralith/core/TextDecoding.hpp"
#include "auralith/core/TranscriptionProgress.hpp"
#include "auralith/core/TranscriptionResult.hpp"
#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/WhisperTokenizer.hpp"
#include "auralith/core/audio/AudioProcessing.hpp"
#include "auralith/core/text/SegmentSeeking.hpp"

namespace auralith {

class TranscribeTask;

class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
  public:
    struct State {
        bool isRecording = false;
        std::int64_t currentFallbacks = 0;
        std::int64_t lastBufferSize = 0;
        float lastConfirmedSegmentEndSeconds = 0;
        std::vector<float> bufferEnergy;
        std::string currentText;
        std::vector<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        // Texts of windows abandoned when decoding moved to a new window.
        std::vector<std::string> unconfirmedText;

        bool operator==(const State&) const = default;
    };
    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;

    AudioStreamTranscriber(std::shared_ptr<AudioEncoding> audioEncoder,
                           std::shared_ptr<FeatureExtracting> featureExtractor,
                           std::shared_ptr<SegmentSeeking> segmentSeeker,
                           std::shared_ptr<TextDecoding> textDecoder,
                           std::shared_ptr<WhisperTokenizer> tokenizer,
                           std::shared_ptr<AudioProcessing> audioProcessor,
                           DecodingOptions decodingOptions,
                           std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
                           std::int64_t compressionCheckWindow, bool useVAD,
                           StateChangeCallback stateChangeCallback = {});
    virtual ~AudioStreamTranscriber() = default;

    template <class... Args>
    static std::shared_ptr<AudioStreamTranscriber> create(Args&&... args) {
        return std::make_shared<AudioStreamTranscriber>(std::forward<Args>(args)...);
    }

    State state() const;
    // Replaces the state and reports (old, new).
    void setState(State state);

    // Returns at once when already recording, and without starting when the
    // microphone permission is refused (logged). Errors from starting the
    // recording are thrown. A pass that fails is logged, ends the recording
    // and returns normally with isRecording false.
    virtual void startStreamTranscription();
    virtual void stopStreamTranscription();

    // false when the tokens of this window repeat themselves (their last
    // compressionCheckWindow tokens compress better than the threshold) or
    // its average log-probability is below the threshold; nothing otherwise.
    // Without a compression threshold no compression check is made.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress,
                                               const DecodingOptions& options,
                                               std::int64_t compressionCheckWindow);

  protected:
    // One pass: nothing until more than 1 s of new audio (or, with VAD, of
    // voiced audio) has arrived; then the whole buffer is transcribed and the
    // segments confirmed as far as they may be.
    virtual void transcribeCurrentBuffer();
    virtual std::shared_ptr<TranscriptionResult> transcribeAudioSamples(
        const std::vector<float>& samples);
    void onProgressCallback(const TranscriptionProgress& progress);
    void modifyState(const std::function<void(State&)>& change);

  private:
    void idle();

    mutable std::mutex stateMutex_;
    // Held around each change and its report, so reports come in order.
    std::mutex reportMutex_;
    State state_;
    StateChangeCallback stateChangeCallback_;
    const std::int64_t requiredSegmentsForConfirmation_;
    const bool useVAD_;
    const float silenceThreshold_;
    const std::int64_t compressionCheckWindow_;
    std::shared_ptr<TranscribeTask> transcribeTask_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    const DecodingOptions decodingOptions_;
};

}  // namespace auralith
