#include "auralith/core/TranscribeTask.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "auralith/core/Constants.hpp"
#include "auralith/core/StageTimer.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/utilities/AbsoluteTime.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/NumberConversion.hpp"
#include "auralith/utilities/StringExtensions.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/Date.hpp"
#include "platform/system/NumberText.hpp"
#include "platform/system/TaskCancellation.hpp"

namespace auralith {

namespace {

using SteadyClock = std::chrono::steady_clock;
using platform::ml::Float16;

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string formatted(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// ["<|startoftranscript|>", "<|en|>"]: an id without a token gives "".
std::string promptText(const std::vector<std::int64_t>& prompt, const WhisperTokenizer& tokenizer) {
    std::string text = "[";
    for (std::size_t i = 0; i < prompt.size(); ++i) {
        if (i > 0) text += ", ";
        text += "\"" + tokenizer.convertIdToToken(prompt[i]).value_or("") + "\"";
    }
    return text + "]";
}

// Ends a signpost interval on every way out of a scope.
class SignpostScope {
  public:
    explicit SignpostScope(const char* name)
        : name_(name),
          interval_(Logging::beginSignpost(name_, Logging::TranscribeTask::signposter())) {}
    ~SignpostScope() {
        Logging::endSignpost(name_, interval_, Logging::TranscribeTask::signposter());
    }
    SignpostScope(const SignpostScope&) = delete;
    SignpostScope& operator=(const SignpostScope&) = delete;

  private:
    std::string name_;
    SignpostIntervalState interval_;
};

void addDecodingTimings(TranscriptionTimings& total, const TranscriptionTimings& add) {
    total.firstTokenTime = std::min(total.firstTokenTime, add.firstTokenTime);
    total.decodingPredictions += add.decodingPredictions;
    total.decodingSampling += add.decodingSampling;
    total.decodingFiltering += add.decodingFiltering;
    total.decodingKvCaching += add.decodingKvCaching;
    total.decodingNonPrediction += add.decodingNonPrediction;
    total.totalDecodingLoops += add.totalDecodingLoops;
    total.totalKVUpdateRuns += add.totalKVUpdateRuns;
}

}  // namespace

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings,
                               std::shared_ptr<platform::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor,
                               std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker,
                               std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<WhisperTokenizer> tokenizer)
    : timings_(std::move(currentTimings)),
      progress_(progress ? std::move(progress) : std::make_shared<platform::Progress>()),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor)
                                     : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {
    if (!audioEncoder_ || !featureExtractor_ || !segmentSeeker_ || !textDecoder_ || !tokenizer_)
        throw std::invalid_argument(
            "TranscribeTask needs an encoder, a feature extractor, a "
            "segment seeker, a text decoder and a tokenizer");
}

TranscriptionTimings TranscribeTask::timings() const {
    std::lock_guard lock(mutex_);
    return timings_;
}

void TranscribeTask::setTimings(TranscriptionTimings timings) {
    std::lock_guard lock(mutex_);
    timings_ = std::move(timings);
}

std::shared_ptr<WhisperTokenizer> TranscribeTask::tokenizer() const {
    std::lock_guard lock(mutex_);
    return tokenizer_;
}

void TranscribeTask::setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) {
    if (!tokenizer) throw std::invalid_argument("TranscribeTask needs a tokenizer");
    std::lock_guard lock(mutex_);
    tokenizer_ = std::move(tokenizer);
}

TranscribeTask::SegmentDiscoveryCallback TranscribeTask::segmentDiscoveryCallback() const {
    std::lock_guard lock(mutex_);
    return segmentDiscoveryCallback_;
}

void TranscribeTask::setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
    std::lock_guard lock(mutex_);
    segmentDiscoveryCallback_ = std::move(callback);
}

void TranscribeTask::windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>& /*window*/,
                                      std::int64_t /*seek*/, std::int64_t /*segmentSize*/) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(
    std::int64_t /*seek*/, std::int64_t /*segmentSize*/,
    std::vector<TranscriptionSegment> originalSegments) {
    return originalSegments;
}

// One call of run(): the constructor prepares it (options, decoder inputs,
// the clips of audio to decode), transcribeClip() goes window by window
// through one clip, finish() builds the result.
class TranscribeTask::Run {
  public:
    Run(TranscribeTask& task, const std::vector<float>& audio,
        const std::optional<DecodingOptions>& decodeOptions, TranscriptionCallback callback);

    const std::vector<std::pair<std::int64_t, std::int64_t>>& seekClips() const {
        return seekClips_;
    }
    void transcribeClip(std::int64_t clipStart, std::int64_t clipEnd);
    std::shared_ptr<TranscriptionResult> finish();

  private:
    struct Window {
        std::int64_t seek;
        std::int64_t size;
        std::int64_t length;  // the model's window, which the samples are padded to
    };

    // Decodes the window and gives the seek of the next one, with whether
    // the window's segments were kept.
    std::pair<std::int64_t, bool> transcribeWindow(const Window& window);
    std::shared_ptr<AudioEncoderOutputType> encode(const Window& window);
    // Word timings for the window's segments, and the seek they move to.
    std::int64_t addWordTimestamps(const DecodingResult& result, const Window& window,
                                   std::optional<std::vector<TranscriptionSegment>>& segments,
                                   std::int64_t newSeek);
    // Times a stage into the task's record: its seconds and one run.
    auto stage(TimingsField duration, TimingsField runs) {
        return StageTimer([this, duration, runs](double seconds) {
            task_.modifyTimings([&](TranscriptionTimings& t) {
                t.*duration += seconds;
                t.*runs += 1;
            });
        });
    }

    TranscribeTask& task_;
    const std::vector<float>& audio_;
    const std::int64_t sampleCount_;
    DecodingOptions options_;
    TranscriptionCallback callback_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    std::shared_ptr<DecodingInputsType> decoderInputs_;
    std::vector<std::pair<std::int64_t, std::int64_t>> seekClips_;
    std::optional<std::string> detectedLanguage_;
    std::vector<std::int64_t> allTokens_;
    std::vector<TranscriptionSegment> allSegments_;
    SteadyClock::time_point loopStart_;
};

TranscribeTask::Run::Run(TranscribeTask& task, const std::vector<float>& audio,
                         const std::optional<DecodingOptions>& decodeOptions,
                         TranscriptionCallback callback)
    : task_(task),
      audio_(audio),
      sampleCount_(static_cast<std::int64_t>(audio.size())),
      options_(decodeOptions.value_or(DecodingOptions::defaultSet())),
      callback_(std::move(callback)),
      tokenizer_(task.tokenizer()) {
    task_.modifyTimings([](TranscriptionTimings& t) {
        t.pipelineStart = std::min(t.pipelineStart, absoluteTimeNow());
    });
    Logging::debug("Starting pipeline at: " +
                   platform::formatISO8601Milliseconds(platform::Clock::system().now()));
    options_.verbose = Logging::isLoggingEnabled();
    const double firstClip = decodeOptions && !decodeOptions->clipTimestamps.empty()
                                 ? decodeOptions->clipTimestamps[0]
                                 : 0.0;
    task_.modifyTimings([&](TranscriptionTimings& t) {
        t.inputAudioSeconds = static_cast<double>(sampleCount_) / sampleRate - firstClip;
    });

    const auto initStart = SteadyClock::now();
    decoderInputs_ = task_.textDecoder_->prepareDecoderInputs(
        {tokenizer_->specialTokens().startOfTranscriptToken});
    const double initTime = secondsSince(initStart);
    task_.modifyTimings([&](TranscriptionTimings& t) { t.decodingInit = initTime; });
    Logging::debug("Decoder init time: " + platform::numberText(initTime));
    if (options_.usePrefillPrompt)
        decoderInputs_ = task_.textDecoder_->prefillDecoderInputs(decoderInputs_, options_);
    Logging::debug("Prefill prompt: " + promptText(decoderInputs_->initialPrompt(), *tokenizer_));

    // Clips are kept inside the audio: a clip reaching past it would give
    // windows of no samples that never move on.
    for (auto [start, end] : options_.prepareSeekClips(sampleCount_)) {
        start = std::clamp<std::int64_t>(start, 0, sampleCount_);
        end = std::clamp<std::int64_t>(end, 0, sampleCount_);
        if (end > start) seekClips_.emplace_back(start, end);
    }
    std::string text = "[";
    std::int64_t total = 0;
    for (std::size_t i = 0; i < seekClips_.size(); ++i) {
        const auto [start, end] = seekClips_[i];
        text += (i > 0 ? ", " : "") + std::string("(start: ") + std::to_string(start) +
                ", end: " + std::to_string(end) + ")";
        total += end - start;
    }
    Logging::debug("Decoding seek clips: " + text + "]");
    task_.progress_->setTotalUnitCount(total);
    loopStart_ = SteadyClock::now();
}

void TranscribeTask::Run::transcribeClip(std::int64_t clipStart, std::int64_t clipEnd) {
    const std::int64_t completedAtClipStart = task_.progress_->completedUnitCount();
    const std::int64_t windowLength =
        task_.featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
    // A negative clip time would let windows start at the clip's end, with
    // no samples left to decode.
    const std::int64_t clipTime = std::max<std::int64_t>(
        0, truncatedToInt64(options_.windowClipTime * static_cast<float>(sampleRate)));
    for (std::int64_t seek = clipStart; seek < clipEnd - clipTime;) {
        // A window length of 0 or less finds no audio window.
        const std::int64_t size = std::max<std::int64_t>(
            0, std::min({clipEnd - seek, sampleCount_ - seek, windowLength}));
        const auto [newSeek, kept] = transcribeWindow({seek, size, windowLength});
        if (kept)
            task_.progress_->setCompletedUnitCount(completedAtClipStart +
                                                   std::min(clipEnd, newSeek) - clipStart);
        seek = newSeek;
    }
}

std::pair<std::int64_t, bool> TranscribeTask::Run::transcribeWindow(const Window& window) {
    const std::int64_t seek = window.seek;
    const float seekSeconds = static_cast<float>(seek) / sampleRate;
    const float windowEndSeconds = static_cast<float>(seek + window.size) / sampleRate;
    Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" +
                   formatted("%.2f", seekSeconds) + "s)");
    Logging::debug("Decoding Window Size: " + std::to_string(window.size) + " (" +
                   formatted("%.2f", windowEndSeconds - seekSeconds) + "s)");
    const auto encoderOutput = encode(window);
    Logging::info("Decoding " + formatted("%.2f", seekSeconds) + "s - " +
                  formatted("%.2f", windowEndSeconds) + "s");

    const auto before = task_.timings();
    const std::int64_t windowId =
        truncatedToInt64(before.totalDecodingWindows - before.totalDecodingFallbacks);
    const TranscriptionCallback windowCallback =
        [callback = callback_,
         windowId](const TranscriptionProgress& progress) -> std::optional<bool> {
        if (!callback) return std::nullopt;
        TranscriptionProgress copy = progress;
        copy.windowId = windowId;
        return callback(copy);
    };
    platform::TaskCancellation::checkCancellation();
    const DecodingResult result = task_.decodeWithFallback(encoderOutput, options_, decoderInputs_,
                                                           detectedLanguage_, windowCallback);

    auto windowing = stage(&TranscriptionTimings::decodingWindowing,
                           &TranscriptionTimings::totalDecodingWindows);
    const SpecialTokens& special = tokenizer_->specialTokens();
    auto [seekerSeek, segments] = task_.segmentSeeker_->findSeekPointAndSegments(
        result, options_, static_cast<std::int64_t>(allSegments_.size()), seek, window.size,
        sampleRate, special.timeTokenBegin, special.specialTokenBegin, *tokenizer_);
    std::int64_t newSeek = std::max(seekerSeek, seek);
    if (options_.wordTimestamps && result.cache && result.cache->alignmentWeights)
        newSeek = addWordTimestamps(result, window, segments, newSeek);
    if (options_.maxWindowSeek && *options_.maxWindowSeek > 0)
        newSeek = seek + std::min(newSeek - seek, *options_.maxWindowSeek);
    // The loop ends only when the seek reaches the clip's end: a window that
    // did not move it (a model answering "<|0.00|>" to silence, a seeker of
    // our own) is passed over whole instead of being decoded again forever.
    if (newSeek <= seek) {
        Logging::error("Window at seek " + std::to_string(seek) +
                       " did not advance; moving on by its " + std::to_string(window.size) +
                       " samples");
        newSeek = seek + std::max<std::int64_t>(window.size, 1);
    }
    // The next window starts from a clean decoder state, kept or not.
    if (!segments) {
        windowing.discard();
        decoderInputs_->reset(Constants::maxTokenContext);
        return {newSeek, false};
    }
    auto windowSegments = task_.windowPostProcess(seek, window.size, std::move(*segments));
    if (options_.verbose) {
        Logging::debug("Segments for window:");
        for (const auto& segment : windowSegments)
            Logging::debug("[" + formatted("%.2f", segment.start) + " --> " +
                           formatted("%.2f", segment.end) + "] " + segment.text);
    }
    if (const auto discovered = task_.segmentDiscoveryCallback()) discovered(windowSegments);
    for (auto& segment : windowSegments) {
        allTokens_.insert(allTokens_.end(), segment.tokens.begin(), segment.tokens.end());
        allSegments_.push_back(std::move(segment));
    }
    windowing.stop();
    decoderInputs_->reset(Constants::maxTokenContext);
    return {newSeek, true};
}

std::shared_ptr<AudioEncoderOutputType> TranscribeTask::Run::encode(const Window& window) {
    std::shared_ptr<AudioProcessorOutputType> audioWindow;
    {
        auto processing = stage(&TranscriptionTimings::audioProcessing,
                                &TranscriptionTimings::totalAudioProcessingRuns);
        if (window.seek == 0 && window.size == sampleCount_) {
            audioWindow = task_.audioProcessor_->padOrTrim(audio_, 0, window.length);
        } else {
            const std::vector<float> samples(audio_.begin() + window.seek,
                                             audio_.begin() + window.seek + window.size);
            audioWindow = task_.audioProcessor_->padOrTrim(samples, 0, window.length);
        }
        if (!audioWindow) throw WhisperError::transcriptionFailed("Audio samples are nil");
        task_.windowPreprocess(audioWindow, window.seek, window.size);
    }
    platform::TaskCancellation::checkCancellation();
    std::shared_ptr<FeatureExtractorOutputType> melOutput;
    {
        auto mel = stage(&TranscriptionTimings::logmels, &TranscriptionTimings::totalLogmelRuns);
        melOutput = task_.featureExtractor_->logMelSpectrogram(audioWindow);
        if (!melOutput) throw WhisperError::transcriptionFailed("Mel output is nil");
    }
    platform::TaskCancellation::checkCancellation();
    auto encoding =
        stage(&TranscriptionTimings::encoding, &TranscriptionTimings::totalEncodingRuns);
    auto encoderOutput = task_.audioEncoder_->encodeFeatures(melOutput);
    if (!encoderOutput) throw WhisperError::transcriptionFailed("Encoder output is nil");
    return encoderOutput;
}

std::int64_t TranscribeTask::Run::addWordTimestamps(
    const DecodingResult& result, const Window& window,
    std::optional<std::vector<TranscriptionSegment>>& segments, std::int64_t newSeek) {
    {
        auto alignment = stage(&TranscriptionTimings::decodingWordTimestamps,
                               &TranscriptionTimings::totalTimestampAlignmentRuns);
        segments = task_.segmentSeeker_->addWordTimestamps(
            segments.value_or(std::vector<TranscriptionSegment>{}), *result.cache->alignmentWeights,
            *tokenizer_, window.seek, window.size, Constants::defaultPrependPunctuations,
            Constants::defaultAppendPunctuations,
            static_cast<float>(static_cast<double>(window.seek) / sampleRate), options_,
            task_.timings());
    }
    if (segments)
        std::erase_if(*segments, [](const TranscriptionSegment& s) { return !(s.start < s.end); });
    if (segments && !segments->empty())
        newSeek = std::max(newSeek,
                           truncatedToInt64(segments->back().end * static_cast<float>(sampleRate)));
    if (options_.verbose && segments) {
        Logging::debug("Word timestamps:");
        for (const auto& segment : *segments)
            for (const auto& word : segment.words.value_or(std::vector<WordTiming>{}))
                Logging::debug(
                    "[" + formatted("%.3g", word.start) + " -> " + formatted("%.3g", word.end) +
                    "] prob: " + platform::numberText(word.probability) + ", word: " + word.word);
    }
    return newSeek;
}

std::shared_ptr<TranscriptionResult> TranscribeTask::Run::finish() {
    task_.progress_->setCompletedUnitCount(task_.progress_->totalUnitCount());
    const double loopTime = secondsSince(loopStart_);
    task_.modifyTimings([&](TranscriptionTimings& t) {
        t.decodingLoop = loopTime;
        t.fullPipeline = absoluteTimeNow() - t.pipelineStart;
    });
    return task_.finalizeTranscriptionResult(allTokens_, std::move(allSegments_), detectedLanguage_,
                                             task_.timings());
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(
    const std::vector<float>& audioArray, std::optional<DecodingOptions> decodeOptions,
    TranscriptionCallback callback) {
    const SignpostScope signpost("TranscribeAudio");
    Run run(*this, audioArray, decodeOptions, std::move(callback));
    for (const auto& [clipStart, clipEnd] : run.seekClips()) run.transcribeClip(clipStart, clipEnd);
    return run.finish();
}

std::vector<Float16> TranscribeTask::temperatureSchedule(const DecodingOptions& options) {
    std::vector<Float16> schedule;
    const Float16 temperature(options.temperature);
    const Float16 increment(options.temperatureIncrementOnFallback);
    for (std::int64_t i = 0; i <= options.temperatureFallbackCount; ++i) {
        const Float16 step(static_cast<float>(increment) *
                           static_cast<float>(Float16(static_cast<float>(i))));
        schedule.emplace_back(static_cast<float>(temperature) + static_cast<float>(step));
    }
    return schedule;
}

DecodingResult TranscribeTask::decodeWithFallback(
    const std::shared_ptr<AudioEncoderOutputType>& encoderSegment,
    const DecodingOptions& decodingOptions, std::shared_ptr<DecodingInputsType>& decoderInputs,
    std::optional<std::string>& detectedLanguage, const TranscriptionCallback& callback) {
    const SignpostScope signpost("Decode");
    const auto tokenizer = this->tokenizer();
    const auto schedule = temperatureSchedule(decodingOptions);
    {
        std::string text = "[";
        for (std::size_t i = 0; i < schedule.size(); ++i)
            text += (i > 0 ? ", " : "") + platform::numberText(static_cast<float>(schedule[i]));
        Logging::debug("Decoding with temperatures " + text + "]");
    }

    std::optional<DecodingResult> latest;
    for (std::size_t i = 0; i < schedule.size(); ++i) {
        const Float16 temperature = schedule[i];
        Logging::info("Decoding Temperature: " +
                      platform::numberText(static_cast<float>(temperature)));
        const auto tryStart = SteadyClock::now();
        GreedyTokenSampler sampler(temperature, tokenizer->specialTokens().endToken,
                                   decodingOptions);
        DecodingOptions tryOptions = decodingOptions;

        if (textDecoder_->isModelMultilingual() && !decodingOptions.language &&
            decodingOptions.detectLanguage) {
            std::optional<DecodingResult> detection;
            try {
                detection = textDecoder_->detectLanguage(encoderSegment, decoderInputs, sampler,
                                                         decodingOptions, temperature);
            } catch (const platform::CancellationError&) {
                throw;
            } catch (const std::exception& error) {
                // A window whose language cannot be told is still decoded.
                Logging::debug(std::string("Language detection failed: ") + error.what());
            }
            tryOptions.language =
                detection ? std::optional<std::string>(detection->language) : std::nullopt;
            detectedLanguage = tryOptions.language;
            if (decodingOptions.usePrefillPrompt)
                decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, tryOptions);
            Logging::debug("Prefill prompt updated to: " +
                           promptText(decoderInputs->initialPrompt(), *tokenizer));
            if (detection && detection->timings)
                modifyTimings([&](TranscriptionTimings& t) {
                    t.decodingPredictions += detection->timings->decodingPredictions;
                    t.decodingSampling += detection->timings->decodingSampling;
                });
        }

        latest =
            textDecoder_->decodeText(encoderSegment, decoderInputs, sampler, tryOptions, callback);
        if (!detectedLanguage) detectedLanguage = latest->language;
        if (latest->timings)
            modifyTimings(
                [&](TranscriptionTimings& t) { addDecodingTimings(t, *latest->timings); });

        if (!latest->fallback || !latest->fallback->needsFallback) break;
        const double tryTime = secondsSince(tryStart);
        modifyTimings([&](TranscriptionTimings& t) {
            t.decodingFallback += tryTime;
            t.totalDecodingFallbacks = static_cast<double>(i);
        });
        decoderInputs->reset(Constants::maxTokenContext);
        Logging::info("Fallback #" + std::to_string(i + 1) + " (" +
                      latest->fallback->fallbackReason + ")");
    }

    if (!latest) throw WhisperError::decodingFailed("Decoding failed");
    return std::move(*latest);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<std::int64_t>& tokens, std::vector<TranscriptionSegment> segments,
    const std::optional<std::string>& language, TranscriptionTimings timings) {
    const auto tokenizer = this->tokenizer();
    const std::int64_t specialTokenBegin = tokenizer->specialTokens().specialTokenBegin;
    std::vector<std::int64_t> textTokens;
    for (auto token : tokens)
        if (token < specialTokenBegin) textTokens.push_back(token);
    return std::make_shared<TranscriptionResult>(
        trimmingWhitespace(tokenizer->decode(textTokens)), std::move(segments),
        language.value_or(std::string(Constants::defaultLanguageCode)), std::move(timings),
        std::nullopt);
}

}  // namespace auralith
