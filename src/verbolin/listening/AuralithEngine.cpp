#include "verbolin/listening/AuralithEngine.hpp"

#include <cmath>

#include "auralith/core/Constants.hpp"
#include "platform/system/NumberText.hpp"
#include "verbolin/listening/OutputFilters.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace verbolin {
namespace {

auralith::DecodingOptions dictationOptions() {
    return auralith::DecodingOptions({
        .verbose = false,
        .task = auralith::DecodingTask::transcribe,
        .language = "en",
        .temperature = 0.0f,
        .temperatureIncrementOnFallback = 0.2f,
        .temperatureFallbackCount = 2,
        .sampleLength = auralith::Constants::maxTokenContext,
        .topK = 5,
        .usePrefillPrompt = true,
        .detectLanguage = std::nullopt,
        .skipSpecialTokens = true,
        .withoutTimestamps = true,
        .wordTimestamps = false,
        .maxInitialTimestamp = std::nullopt,
        .maxWindowSeek = std::nullopt,
        .clipTimestamps = {},
        .windowClipTime = 1.0f,
        .promptTokens = std::nullopt,
        .prefixTokens = std::nullopt,
        .suppressBlank = false,
        .suppressTokens = std::nullopt,
        .compressionRatioThreshold = 2.4f,
        .logProbThreshold = -1.0f,
        .firstTokenLogProbThreshold = -1.5f,
        .noSpeechThreshold = 0.6f,
        .concurrentWorkerCount = std::nullopt,
        .chunkingStrategy = std::nullopt,
    });
}

}  // namespace

AuralithEngine::AuralithEngine(ModelPack pack, PipelineFactory makePipeline,
                               std::shared_ptr<DebugRecorder> recorder)
    : pack_(std::move(pack)),
      makePipeline_(makePipeline ? std::move(makePipeline)
                                 : PipelineFactory([](const auralith::AuralithConfig& config) {
                                       return auralith::Auralith::create(config);
                                   })),
      recorder_(std::move(recorder)),
      options_(dictationOptions()) {}

auralith::AuralithConfig AuralithEngine::configuration() const {
    const auto folder = pack_.localFolder();
    return auralith::AuralithConfig({
        .modelFolder = folder.string(),
        .tokenizerFolder = folder / "tokenizer",
        .verbose = false,
        .logLevel = auralith::AuralithConfig::LogLevel::error,
        .prewarm = true,
        .load = true,
        .download = false,
        .useBackgroundDownloadSession = false,
    });
}

void AuralithEngine::prepare() {
    auto pipeline = makePipeline_(configuration());
    std::lock_guard lock(pipelineMutex_);
    pipeline_ = std::move(pipeline);
}

bool AuralithEngine::keeps(const auralith::TranscriptionSegment& segment) {
    // Float comparisons on purpose: 2.4f widened to double is above 2.4, so a
    // double threshold would drop a segment exactly at the limit.
    return segment.compressionRatio <= 2.4f && segment.avgLogprob >= -1.2f &&
           segment.noSpeechProb < 0.6f;
}

std::string AuralithEngine::promptText(std::string_view context) {
    const auto bounds = vortil::unicode::graphemeBoundaries(context);
    const std::size_t clusters = bounds.size() - 1;
    const std::size_t first = clusters > kContextCharacters ? clusters - kContextCharacters : 0;
    return " " + std::string(context.substr(bounds[first]));
}

std::string AuralithEngine::droppedDetail(const auralith::TranscriptionSegment& segment) {
    return "cr=" + platform::numberText(segment.compressionRatio) +
           " logprob=" + platform::numberText(segment.avgLogprob) +
           " nospeech=" + platform::numberText(segment.noSpeechProb) + " text=" + segment.text;
}

std::string AuralithEngine::transcribe(std::span<const float> samples,
                                       const std::optional<std::string>& context) {
    std::shared_ptr<auralith::Auralith> pipeline;
    {
        std::lock_guard lock(pipelineMutex_);
        pipeline = pipeline_;
    }
    if (!pipeline) return "";
    std::lock_guard run(runMutex_);

    auralith::DecodingOptions options = options_;
    if (context && !context->empty()) {
        if (const auto tokenizer = pipeline->tokenizer())
            options.promptTokens = tokenizer->encode(promptText(*context));
    }
    const auto results =
        pipeline->transcribe(std::vector<float>(samples.begin(), samples.end()), options);

    std::string joined;
    for (const auto& result : results) {
        for (const auto& segment : result->segments()) {
            if (!keeps(segment)) {
                if (recorder_) recorder_->event("segment_dropped", droppedDetail(segment));
                continue;
            }
            const std::string text = OutputFilters::trimmed(segment.text);
            if (text.empty()) continue;
            if (!joined.empty()) joined += ' ';
            joined += text;
        }
    }
    return joined;
}

}  // namespace verbolin
