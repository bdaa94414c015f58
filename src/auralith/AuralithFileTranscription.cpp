// Transcription of one audio file, whole or chunk by chunk.

#include <algorithm>
#include <chrono>

#include "auralith/Auralith.hpp"
#include "auralith/TranscriptionUtilities.hpp"
#include "auralith/core/Constants.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/NumberText.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

using vortil::Logging;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void Auralith::reportTranscriptionState(TranscriptionState state) const {
    if (const auto& callback = transcriptionStateCallback()) callback(state);
}

std::shared_ptr<const VoiceActivityDetector> Auralith::voiceActivityDetectorOrDefault() const {
    if (auto vad = voiceActivityDetector()) return vad;
    return std::make_shared<EnergyVAD>(sampleRate, 1600, 0, 0.02f);
}

std::int64_t Auralith::windowSamplesOrDefault() const {
    const auto extractor = featureExtractor();
    const auto window = extractor ? extractor->windowSamples() : std::nullopt;
    return window.value_or(Constants::defaultWindowSamples);
}

Auralith::Results Auralith::transcribe(const std::string& audioPath,
                                       const std::optional<AudioInputOptions>& audioInputOptions,
                                       const std::optional<DecodingOptions>& decodeOptions,
                                       ProgressCallback callback) {
    const AudioInputOptions input = audioInputOptions.value_or(this->audioInputOptions());
    const auto start = std::chrono::steady_clock::now();
    auto noteTime = [&](const char* line, const char* label) {
        auto timings = currentTimings();
        timings.audioLoading = secondsSince(start);
        setCurrentTimings(timings);
        Logging::debug(std::string(line) + platform::numberText(timings.audioLoading));
        Logging::logCurrentMemoryUsage(label);
    };

    if (const auto* incremental = std::get_if<AudioInputOptions::AudioLoadingMode::Incremental>(
            &input.audioLoadingMode.value)) {
        try {
            auto stream = AudioProcessor::loadFileIncrementally(
                audioPath, input.channelMode, incremental->chunkDurationSeconds,
                incremental->maxBufferedChunks, windowSamplesOrDefault(),
                voiceActivityDetectorOrDefault());
            auto results = transcribeFileStream(*stream, decodeOptions, std::move(callback), true);
            noteTime("Audio streaming and transcription time: ", "Audio Streaming");
            return results;
        } catch (...) {
            noteTime("Audio streaming and transcription time: ", "Audio Streaming");
            throw;
        }
    }

    reportTranscriptionState(TranscriptionState::convertingAudio);
    std::vector<float> samples;
    try {
        samples = AudioProcessor::loadAudioAsFloatArray(audioPath, input.channelMode);
    } catch (...) {
        noteTime("Audio loading and convert time: ", "Audio Loading and Convert");
        throw;
    }
    noteTime("Audio loading and convert time: ", "Audio Loading and Convert");

    reportTranscriptionState(TranscriptionState::transcribing);
    try {
        auto results = transcribe(samples, decodeOptions, std::move(callback));
        reportTranscriptionState(TranscriptionState::finished);
        return results;
    } catch (...) {
        reportTranscriptionState(TranscriptionState::finished);
        throw;
    }
}

Auralith::Results Auralith::transcribeFileStream(
    ChunkStream& audioStream, const std::optional<DecodingOptions>& decodeOptions,
    ProgressCallback callback, bool emitStateCallbacks) {
    if (decodeOptions && !decodeOptions->clipTimestamps.empty()) {
        // Also ends the loader, which would otherwise read ahead for nobody.
        audioStream.finish();
        throw WhisperError::transcriptionFailed(
            "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or "
            "transcribe the "
            "desired range as a separate call.");
    }
    if (emitStateCallbacks) reportTranscriptionState(TranscriptionState::transcribing);

    Results all;
    try {
        while (auto chunk = audioStream.next()) {
            const std::int64_t offset = chunk->audioChunk.seekOffsetIndex;
            Results results;
            try {
                results =
                    transcribe(chunk->audioChunk.audioSamples, offset, decodeOptions, callback);
            } catch (...) {
                if (chunk->completionSignal) chunk->completionSignal();
                throw;
            }
            const float seconds = static_cast<float>(offset) / static_cast<float>(sampleRate);
            for (const auto& result : results) {
                result->modifySegments([&](std::vector<TranscriptionSegment>& segments) {
                    for (auto& segment : segments) {
                        segment = TranscriptionUtilities::updateSegmentTimingsSeekOffsetIndex(
                            segment, offset);
                    }
                });
                result->modifySeekTime([&](std::optional<float>& seekTime) {
                    seekTime = seconds + seekTime.value_or(0);
                });
                all.push_back(result);
            }
            if (chunk->completionSignal) chunk->completionSignal();
        }
    } catch (...) {
        // Stops the loader's producer and releases the file.
        audioStream.finish();
        if (emitStateCallbacks) reportTranscriptionState(TranscriptionState::finished);
        throw;
    }

    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a->seekTime().value_or(0) < b->seekTime().value_or(0);
    });
    if (emitStateCallbacks) reportTranscriptionState(TranscriptionState::finished);
    return all;
}

}  // namespace auralith
