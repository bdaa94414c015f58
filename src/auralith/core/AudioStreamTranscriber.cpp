#include "auralith/core/AudioStreamTranscriber.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "auralith/core/TranscribeTask.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/TextUtilities.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/Progress.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace auralith {

using vortil::Logging;

namespace {
constexpr const char* waitingText = "Waiting for speech...";
}

AudioStreamTranscriber::AudioStreamTranscriber(
    std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
    DecodingOptions decodingOptions, std::int64_t requiredSegmentsForConfirmation,
    float silenceThreshold, std::int64_t compressionCheckWindow, bool useVAD,
    StateChangeCallback stateChangeCallback)
    : stateChangeCallback_(std::move(stateChangeCallback)),
      requiredSegmentsForConfirmation_(requiredSegmentsForConfirmation),
      useVAD_(useVAD),
      silenceThreshold_(silenceThreshold),
      compressionCheckWindow_(compressionCheckWindow),
      transcribeTask_(std::make_shared<TranscribeTask>(
          TranscriptionTimings{}, std::make_shared<platform::Progress>(), audioProcessor,
          std::move(audioEncoder), std::move(featureExtractor), std::move(segmentSeeker),
          std::move(textDecoder), std::move(tokenizer))),
      audioProcessor_(std::move(audioProcessor)),
      decodingOptions_(std::move(decodingOptions)) {}

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void AudioStreamTranscriber::setState(State state) {
    modifyState([&](State& s) { s = std::move(state); });
}

void AudioStreamTranscriber::modifyState(const std::function<void(State&)>& change) {
    std::lock_guard order(reportMutex_);
    State before;
    State after;
    {
        std::lock_guard lock(stateMutex_);
        before = state_;
        change(state_);
        after = state_;
    }
    if (stateChangeCallback_) stateChangeCallback_(before, after);
}

void AudioStreamTranscriber::startStreamTranscription() {
    if (state().isRecording) return;
    if (!AudioProcessor::requestRecordPermission()) {
        Logging::error("Microphone access was not granted.");
        return;
    }
    modifyState([](State& s) { s.isRecording = true; });
    const std::weak_ptr<AudioStreamTranscriber> weak = weak_from_this();
    try {
        audioProcessor_->startRecordingLive(std::nullopt, [weak](const std::vector<float>&) {
            if (const auto self = weak.lock()) {
                auto energy = self->audioProcessor_->relativeEnergy();
                self->modifyState([&](State& s) { s.bufferEnergy = std::move(energy); });
            }
        });
    } catch (...) {
        // Not recording after all: a later start must be able to try again.
        modifyState([](State& s) { s.isRecording = false; });
        throw;
    }
    Logging::info("Realtime transcription has started");

    while (state().isRecording) {
        try {
            transcribeCurrentBuffer();
        } catch (const std::exception& error) {
            const auto* whisper = dynamic_cast<const WhisperError*>(&error);
            Logging::error(std::string("Error: ") +
                           (whisper ? whisper->errorDescription() : error.what()));
            // Leaving the microphone on with nobody transcribing would wedge
            // the transcriber: stop as a stop call would.
            stopStreamTranscription();
            break;
        }
    }
}

void AudioStreamTranscriber::stopStreamTranscription() {
    modifyState([](State& s) { s.isRecording = false; });
    audioProcessor_->stopRecording();
    Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::idle() {
    modifyState([](State& s) {
        if (s.currentText.empty()) s.currentText = waitingText;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    platform::TaskCancellation::checkCancellation();
}

void AudioStreamTranscriber::transcribeCurrentBuffer() {
    const std::vector<float> buffer = audioProcessor_->audioSamples();
    const auto count = static_cast<std::int64_t>(buffer.size());
    const float newSeconds = static_cast<float>(count - state().lastBufferSize) / 16000.0f;
    if (!(newSeconds > 1.0f)) return idle();

    if (useVAD_ && !AudioProcessor::isVoiceDetected(audioProcessor_->relativeEnergy(), newSeconds,
                                                    silenceThreshold_)) {
        Logging::debug("No voice detected, skipping transcribe");
        return idle();
    }

    modifyState([&](State& s) { s.lastBufferSize = count; });
    const auto result = transcribeAudioSamples(buffer);
    const std::vector<TranscriptionSegment> segments = result->segments();
    const auto required =
        static_cast<std::size_t>(std::max<std::int64_t>(requiredSegmentsForConfirmation_, 0));

    modifyState([&](State& s) {
        s.currentText.clear();
        s.unconfirmedText.clear();
        if (segments.size() <= required) {
            s.unconfirmedSegments = segments;
            return;
        }
        const auto split = segments.end() - static_cast<std::ptrdiff_t>(required);
        const std::vector<TranscriptionSegment> confirmable(segments.begin(), split);
        if (!confirmable.empty() && confirmable.back().end > s.lastConfirmedSegmentEndSeconds) {
            s.lastConfirmedSegmentEndSeconds = confirmable.back().end;
            if (std::search(s.confirmedSegments.begin(), s.confirmedSegments.end(),
                            confirmable.begin(), confirmable.end()) == s.confirmedSegments.end()) {
                s.confirmedSegments.insert(s.confirmedSegments.end(), confirmable.begin(),
                                           confirmable.end());
            }
        }
        s.unconfirmedSegments.assign(split, segments.end());
    });
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::transcribeAudioSamples(
    const std::vector<float>& samples) {
    DecodingOptions options = decodingOptions_;
    options.clipTimestamps = {state().lastConfirmedSegmentEndSeconds};
    const std::weak_ptr<AudioStreamTranscriber> weak = weak_from_this();
    const std::int64_t window = compressionCheckWindow_;
    return transcribeTask_->run(samples, options,
                                [weak, options, window](const TranscriptionProgress& progress) {
                                    if (const auto self = weak.lock())
                                        self->onProgressCallback(progress);
                                    return shouldStopEarly(progress, options, window);
                                });
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
    const auto fallbacks = static_cast<std::int64_t>(progress.timings.totalDecodingFallbacks);
    const std::size_t length = vortil::unicode::graphemes(progress.text).size();
    std::optional<std::int64_t> fallbackSeen;
    modifyState([&](State& s) {
        if (length < vortil::unicode::graphemes(s.currentText).size()) {
            if (fallbacks == s.currentFallbacks) {
                s.unconfirmedText.push_back(s.currentText);
            } else {
                fallbackSeen = fallbacks;
            }
        }
        s.currentText = progress.text;
        s.currentFallbacks = fallbacks;
    });
    if (fallbackSeen) Logging::info("Fallback occured: " + std::to_string(*fallbackSeen));
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress,
                                                            const DecodingOptions& options,
                                                            std::int64_t compressionCheckWindow) {
    if (compressionCheckWindow >= 0 && options.compressionRatioThreshold &&
        static_cast<std::int64_t>(progress.tokens.size()) > compressionCheckWindow) {
        const std::vector<std::int64_t> recent(progress.tokens.end() - compressionCheckWindow,
                                               progress.tokens.end());
        if (TextUtilities::compressionRatio(recent) > *options.compressionRatioThreshold)
            return false;
    }
    if (progress.avgLogprob && options.logProbThreshold &&
        *progress.avgLogprob < *options.logProbThreshold) {
        return false;
    }
    return std::nullopt;
}

}  // namespace auralith
