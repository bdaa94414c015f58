// Transcription of one array that is already in memory.

#include <string>

#include "auralith/Auralith.hpp"
#include "auralith/core/Constants.hpp"
#include "auralith/core/TranscribeTask.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/core/audio/VADAudioChunker.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

using vortil::Logging;
using vortil::ModelState;

Auralith::Results Auralith::transcribe(const std::vector<float>& audioArray,
                                       const std::optional<DecodingOptions>& decodeOptions,
                                       ProgressCallback callback,
                                       SegmentDiscoveryCallback segmentCallback) {
    return transcribe(audioArray, 0, decodeOptions, std::move(callback),
                      std::move(segmentCallback));
}

Auralith::SegmentDiscoveryCallback Auralith::offsetting(SegmentDiscoveryCallback callback,
                                                        std::int64_t offset) {
    if (!callback || offset <= 0) return callback;
    const float seconds = static_cast<float>(offset) / static_cast<float>(sampleRate);
    return [callback = std::move(callback), offset,
            seconds](const std::vector<TranscriptionSegment>& found) {
        std::vector<TranscriptionSegment> moved = found;
        for (auto& segment : moved) {
            segment.seek += offset;
            segment.start += seconds;
            segment.end += seconds;
            if (segment.words)
                for (auto& word : *segment.words) {
                    word.start += seconds;
                    word.end += seconds;
                }
        }
        callback(moved);
    };
}

Auralith::Results Auralith::transcribe(const std::vector<float>& audioArray,
                                       std::int64_t audioArrayOffset,
                                       const std::optional<DecodingOptions>& decodeOptions,
                                       ProgressCallback callback,
                                       SegmentDiscoveryCallback segmentCallback) {
    const std::int64_t window =
        featureExtractor()->windowSamples().value_or(Constants::defaultWindowSamples);
    const bool chunked = static_cast<std::int64_t>(audioArray.size()) > window && decodeOptions &&
                         decodeOptions->chunkingStrategy == ChunkingStrategy::vad;
    Results results;
    if (chunked) {
        results = transcribeChunked(audioArray, window, *decodeOptions, std::move(callback));
    } else {
        SegmentDiscoveryCallback chosen =
            segmentCallback ? std::move(segmentCallback) : segmentDiscoveryCallback();
        results = runTranscribeTask(audioArray, decodeOptions, std::move(callback),
                                    offsetting(std::move(chosen), audioArrayOffset));
    }
    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    return results;
}

Auralith::Results Auralith::transcribeChunked(const std::vector<float>& audioArray,
                                              std::int64_t windowSamples,
                                              const DecodingOptions& decodeOptions,
                                              ProgressCallback callback) {
    std::shared_ptr<const VoiceActivityDetector> vad = voiceActivityDetector();
    if (!vad) vad = std::make_shared<EnergyVAD>(sampleRate, 1600, 0, 0.02f);
    const VADAudioChunker chunker(16000, vad);
    const auto chunks = chunker.chunkAll(audioArray, windowSamples, decodeOptions);
    Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
    const auto shared = progress();
    shared->setTotalUnitCount(std::max<std::int64_t>(shared->totalUnitCount(), std::ssize(chunks)));

    std::vector<std::vector<float>> arrays;
    std::vector<std::optional<DecodingOptions>> options;
    std::vector<std::int64_t> offsets;
    for (const auto& chunk : chunks) {
        arrays.push_back(chunk.audioSamples);
        options.emplace_back(decodeOptions)->clipTimestamps.clear();
        offsets.push_back(chunk.seekOffsetIndex);
    }
    const auto outcomes = transcribeWithOptions(arrays, options, offsets, std::move(callback));
    return chunker.updateSeekOffsetsForResults(outcomes, chunks);
}

std::shared_ptr<TranscribeTask> Auralith::setupTranscribeTask(
    const TranscriptionTimings& timings, std::shared_ptr<platform::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<WhisperTokenizer> tokenizer) {
    return std::make_shared<TranscribeTask>(timings, std::move(progress), std::move(audioProcessor),
                                            std::move(audioEncoder), std::move(featureExtractor),
                                            std::move(segmentSeeker), std::move(textDecoder),
                                            std::move(tokenizer));
}

Auralith::Results Auralith::runTranscribeTask(const std::vector<float>& audioArray,
                                              const std::optional<DecodingOptions>& decodeOptions,
                                              ProgressCallback callback,
                                              SegmentDiscoveryCallback segmentCallback) {
    if (modelState() != ModelState::loaded) loadModels(false);
    const auto currentTokenizer = tokenizer();
    if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    try {
        platform::TaskCancellation::checkCancellation();
        auto child = std::make_shared<platform::Progress>();
        const auto parent = progress();
        parent->setTotalUnitCount(std::max<std::int64_t>(parent->totalUnitCount(), 1));
        parent->addChild(child, 1);

        auto task = setupTranscribeTask(currentTimings(), child, audioProcessor(), audioEncoder(),
                                        featureExtractor(), segmentSeeker(), textDecoder(),
                                        currentTokenizer);
        task->setSegmentDiscoveryCallback(std::move(segmentCallback));
        auto result = task->run(audioArray, decodeOptions, std::move(callback));

        if (decodeOptions && decodeOptions->verbose) result->logTimings();
        if (progress()->isFinished()) setProgress(std::make_shared<platform::Progress>());
        return {std::move(result)};
    } catch (const platform::CancellationError&) {
        setProgress(std::make_shared<platform::Progress>());
        throw;
    }
}

}  // namespace auralith
