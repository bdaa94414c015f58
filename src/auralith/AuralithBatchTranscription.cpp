// Many arrays or files in one call, on concurrent workers.

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "auralith/Auralith.hpp"
#include "auralith/ResultExtensions.hpp"
#include "auralith/TranscriptionUtilities.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/NumberText.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "platform/system/WorkerPool.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

using vortil::Logging;

namespace {

Auralith::Outcome failure(const std::string& message) {
    return std::make_exception_ptr(WhisperError::transcriptionFailed(message));
}

// Item indices in batches of `workers`, or all in one batch when it is 0.
std::vector<std::vector<std::size_t>> indexBatches(std::size_t count, std::int64_t workers) {
    std::vector<std::size_t> indices(count);
    for (std::size_t i = 0; i < count; ++i) indices[i] = i;
    if (workers <= 0) return {indices};
    return vortil::batched(indices, static_cast<std::ptrdiff_t>(workers));
}

// Runs one job per index of every batch, a batch at a time; the outcomes land
// at their item's index, whatever order the workers finish in. The workers
// take the caller's stop token, so stopping the caller stops the batch.
template <class Job>
std::vector<Auralith::Outcome> runBatches(const std::vector<std::vector<std::size_t>>& batches,
                                          std::size_t count, Job job) {
    std::vector<Auralith::Outcome> outcomes(count);
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::stop_token token = platform::TaskCancellation::currentToken();
    for (const auto& batch : batches) {
        if (batch.empty()) continue;
        platform::WorkerPool pool(std::min(batch.size(), cores));
        std::vector<std::pair<std::size_t, std::future<Auralith::Outcome>>> running;
        for (const std::size_t index : batch) {
            running.emplace_back(index, pool.submit([&job, &token, index]() -> Auralith::Outcome {
                const platform::TaskCancellation::Scope scope(token);
                try {
                    return job(index);
                } catch (...) {
                    return std::current_exception();
                }
            }));
        }
        for (auto& [index, future] : running) outcomes[index] = future.get();
    }
    return outcomes;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::vector<std::optional<Auralith::Results>> Auralith::transcribe(
    const std::vector<std::string>& audioPaths,
    const std::optional<AudioInputOptions>& audioInputOptions,
    const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback) {
    return toOptionalArrays(
        transcribeWithResults(audioPaths, audioInputOptions, decodeOptions, std::move(callback)));
}

std::vector<std::optional<Auralith::Results>> Auralith::transcribe(
    const std::vector<std::vector<float>>& audioArrays,
    const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback) {
    return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, std::move(callback)));
}

std::vector<Auralith::Outcome> Auralith::transcribeWithResults(
    const std::vector<std::vector<float>>& audioArrays,
    const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback) {
    return transcribeWithOptions(
        audioArrays, std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
        std::nullopt, std::move(callback));
}

std::vector<Auralith::Outcome> Auralith::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays,
    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<std::int64_t>>& seekOffsets, ProgressCallback callback) {
    if (decodeOptionsArray.size() != audioArrays.size()) {
        return {failure("The number of audio arrays and decoding options must be balanced.")};
    }
    if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
        return {failure("The number of audio arrays and seek offset indexes must be balanced.")};
    }
    std::int64_t workers = 0;
    for (const auto& options : decodeOptionsArray) {
        if (options) workers = std::max(workers, options->concurrentWorkerCount);
    }

    // Held weakly, so that a batch does not keep the pipeline alive. A
    // pipeline not owned by a shared_ptr is used as it is.
    const std::weak_ptr<Auralith> weak = weak_from_this();
    Auralith* const unowned = weak.expired() ? this : nullptr;

    auto job = [&](std::size_t index) -> Outcome {
        const std::shared_ptr<Auralith> self =
            unowned ? std::shared_ptr<Auralith>(std::shared_ptr<Auralith>{}, unowned) : weak.lock();
        if (!self) return failure("Auralith instance was deallocated");

        ProgressCallback progress;
        if (callback) {
            progress = [&callback, index](const TranscriptionProgress& value) {
                TranscriptionProgress copy = value;
                copy.windowId = static_cast<std::int64_t>(index);
                return callback(copy);
            };
        }
        SegmentDiscoveryCallback segments = self->segmentDiscoveryCallback();
        if (seekOffsets && segments) {
            segments = [forward = std::move(segments), offset = (*seekOffsets)[index]](
                           const std::vector<TranscriptionSegment>& found) {
                if (found.empty()) return forward(found);
                std::vector<TranscriptionSegment> moved;
                moved.reserve(found.size());
                for (const auto& segment : found) {
                    moved.push_back(TranscriptionUtilities::updateSegmentTimingsSeekOffsetIndex(
                        segment, offset));
                }
                forward(moved);
            };
        }
        return self->transcribe(audioArrays[index], decodeOptionsArray[index], std::move(progress),
                                std::move(segments));
    };
    return runBatches(indexBatches(audioArrays.size(), workers), audioArrays.size(), job);
}

std::vector<Auralith::Outcome> Auralith::transcribeWithResults(
    const std::vector<std::string>& audioPaths,
    const std::optional<AudioInputOptions>& audioInputOptions,
    const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback) {
    const AudioInputOptions input = audioInputOptions.value_or(this->audioInputOptions());
    const auto start = std::chrono::steady_clock::now();

    if (const auto* incremental = std::get_if<AudioInputOptions::AudioLoadingMode::Incremental>(
            &input.audioLoadingMode.value)) {
        reportTranscriptionState(TranscriptionState::transcribing);
        const std::weak_ptr<Auralith> weak = weak_from_this();
        Auralith* const unowned = weak.expired() ? this : nullptr;
        auto job = [&](std::size_t index) -> Outcome {
            const std::shared_ptr<Auralith> self =
                unowned ? std::shared_ptr<Auralith>(std::shared_ptr<Auralith>{}, unowned)
                        : weak.lock();
            if (!self) return failure("Auralith instance was deallocated");
            auto stream = AudioProcessor::loadFileIncrementally(
                audioPaths[index], input.channelMode, incremental->chunkDurationSeconds,
                incremental->maxBufferedChunks, self->windowSamplesOrDefault(),
                self->voiceActivityDetectorOrDefault());
            return self->transcribeFileStream(*stream, decodeOptions, callback, false);
        };
        const std::int64_t workers = decodeOptions ? decodeOptions->concurrentWorkerCount : 0;
        auto outcomes =
            runBatches(indexBatches(audioPaths.size(), workers), audioPaths.size(), job);

        auto timings = currentTimings();
        timings.audioProcessing = secondsSince(start);
        setCurrentTimings(timings);
        Logging::debug("Total Audio Streaming and Transcription Time: " +
                       platform::numberText(timings.audioProcessing));
        reportTranscriptionState(TranscriptionState::finished);
        return outcomes;
    }

    reportTranscriptionState(TranscriptionState::convertingAudio);
    const auto loaded = AudioProcessor::loadAudioAt(audioPaths, input.channelMode);
    std::vector<std::vector<float>> arrays;
    for (const auto& outcome : loaded) {
        if (const auto* samples = std::get_if<std::vector<float>>(&outcome))
            arrays.push_back(*samples);
    }
    auto timings = currentTimings();
    timings.audioLoading = secondsSince(start);
    setCurrentTimings(timings);
    Logging::debug("Total Audio Loading and Converting Time: " +
                   platform::numberText(timings.audioLoading));

    reportTranscriptionState(TranscriptionState::transcribing);
    const auto transcribed = transcribeWithResults(arrays, decodeOptions, std::move(callback));

    // The array call may answer with fewer outcomes than arrays (a single
    // failure for the whole call, or an override's own answer): a loaded
    // file without an outcome of its own takes that failure, never a
    // neighbour's result.
    std::vector<Outcome> merged;
    merged.reserve(loaded.size());
    std::size_t next = 0;
    const bool complete = transcribed.size() == arrays.size();
    for (const auto& outcome : loaded) {
        if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
            merged.emplace_back(*error);
        } else if (complete) {
            merged.push_back(transcribed[next++]);
        } else if (transcribed.size() == 1 &&
                   std::holds_alternative<std::exception_ptr>(transcribed.front())) {
            merged.push_back(transcribed.front());
        } else {
            merged.push_back(failure("No transcription outcome for this file"));
        }
    }
    reportTranscriptionState(TranscriptionState::finished);
    return merged;
}

}  // namespace auralith
