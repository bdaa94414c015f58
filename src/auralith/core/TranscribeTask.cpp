#include "auralith/core/TranscribeTask.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "auralith/core/Constants.hpp"
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

// The seed of one try's draws: the same window and try always draw the same
// numbers, so a run's text does not change from one run to the next.
std::uint64_t windowSeed(std::int64_t seek, std::size_t attempt) {
    constexpr std::uint64_t runSeed = 0x243f6a8885a308d3ULL;
    auto mix = [](std::uint64_t x) {  // SplitMix64's finaliser
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    };
    return mix(mix(runSeed ^ static_cast<std::uint64_t>(seek)) + attempt);
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

std::shared_ptr<TranscriptionResult> TranscribeTask::run(
    const std::vector<float>& audioArray, std::optional<DecodingOptions> decodeOptions,
    TranscriptionCallback callback) {
    const SignpostScope signpost("TranscribeAudio");
    modifyTimings([](TranscriptionTimings& t) {
        t.pipelineStart = std::min(t.pipelineStart, absoluteTimeNow());
    });
    Logging::debug("Starting pipeline at: " +
                   platform::formatISO8601Milliseconds(platform::Clock::system().now()));

    DecodingOptions options = decodeOptions.value_or(DecodingOptions::defaultSet());
    options.verbose = Logging::isLoggingEnabled();
    std::optional<std::string> detectedLanguage;
    const auto sampleCount = static_cast<std::int64_t>(audioArray.size());
    const double firstClip = decodeOptions && !decodeOptions->clipTimestamps.empty()
                                 ? decodeOptions->clipTimestamps[0]
                                 : 0.0;
    modifyTimings([&](TranscriptionTimings& t) {
        t.inputAudioSeconds = static_cast<double>(sampleCount) / sampleRate - firstClip;
    });

    std::vector<std::int64_t> allTokens;
    std::vector<TranscriptionSegment> allSegments;
    // Adds the time since `start` to a stage's duration and one to its runs.
    const auto addRun = [this](SteadyClock::time_point start,
                               double TranscriptionTimings::*duration,
                               double TranscriptionTimings::*runs) {
        const double seconds = secondsSince(start);
        modifyTimings([&](TranscriptionTimings& t) {
            t.*duration += seconds;
            t.*runs += 1;
        });
    };
    const auto tokenizer = this->tokenizer();
    const SpecialTokens& special = tokenizer->specialTokens();

    const auto initStart = SteadyClock::now();
    auto decoderInputs = textDecoder_->prepareDecoderInputs({special.startOfTranscriptToken});
    const double initTime = secondsSince(initStart);
    modifyTimings([&](TranscriptionTimings& t) { t.decodingInit = initTime; });
    Logging::debug("Decoder init time: " + platform::numberText(initTime));
    if (options.usePrefillPrompt)
        decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, options);
    Logging::debug("Prefill prompt: " + promptText(decoderInputs->initialPrompt(), *tokenizer));

    // Clips are kept inside the audio: a clip reaching past it would give
    // windows of no samples that never move on.
    std::vector<std::pair<std::int64_t, std::int64_t>> seekClips;
    for (auto [start, end] : options.prepareSeekClips(sampleCount)) {
        start = std::clamp<std::int64_t>(start, 0, sampleCount);
        end = std::clamp<std::int64_t>(end, 0, sampleCount);
        if (end > start) seekClips.emplace_back(start, end);
    }
    {
        std::string text = "[";
        for (std::size_t i = 0; i < seekClips.size(); ++i)
            text += (i > 0 ? ", " : "") + std::string("(start: ") +
                    std::to_string(seekClips[i].first) +
                    ", end: " + std::to_string(seekClips[i].second) + ")";
        Logging::debug("Decoding seek clips: " + text + "]");
    }

    std::int64_t total = 0;
    for (const auto& [start, end] : seekClips) total += end - start;
    progress_->setTotalUnitCount(total);
    const auto loopStart = SteadyClock::now();

    for (const auto& [clipStart, clipEnd] : seekClips) {
        const std::int64_t completedAtClipStart = progress_->completedUnitCount();
        const std::int64_t windowLength =
            featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
        // A negative clip time would let windows start at the clip's end, with
        // no samples left to decode.
        const std::int64_t clipTime = std::max<std::int64_t>(
            0, truncatedToInt64(options.windowClipTime * static_cast<float>(sampleRate)));
        const std::int64_t endLimit = clipEnd - clipTime;
        std::int64_t seek = clipStart;

        while (seek < endLimit) {
            // A window length of 0 or less finds no audio window below.
            const std::int64_t segmentSize = std::max<std::int64_t>(
                0, std::min({clipEnd - seek, sampleCount - seek, windowLength}));
            const float seekSeconds = static_cast<float>(seek) / sampleRate;
            const float windowEndSeconds = static_cast<float>(seek + segmentSize) / sampleRate;
            Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" +
                           formatted("%.2f", seekSeconds) + "s)");
            Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                           formatted("%.2f", windowEndSeconds - seekSeconds) + "s)");

            const auto windowStart = SteadyClock::now();
            std::shared_ptr<AudioProcessorOutputType> audioWindow;
            if (seek == 0 && segmentSize == sampleCount) {
                audioWindow = audioProcessor_->padOrTrim(audioArray, 0, windowLength);
            } else {
                const std::vector<float> samples(audioArray.begin() + seek,
                                                 audioArray.begin() + seek + segmentSize);
                audioWindow = audioProcessor_->padOrTrim(samples, 0, windowLength);
            }
            if (!audioWindow) throw WhisperError::transcriptionFailed("Audio samples are nil");
            windowPreprocess(audioWindow, seek, segmentSize);
            addRun(windowStart, &TranscriptionTimings::audioProcessing,
                   &TranscriptionTimings::totalAudioProcessingRuns);

            platform::TaskCancellation::checkCancellation();
            const auto melStart = SteadyClock::now();
            const auto melOutput = featureExtractor_->logMelSpectrogram(audioWindow);
            if (!melOutput) throw WhisperError::transcriptionFailed("Mel output is nil");
            addRun(melStart, &TranscriptionTimings::logmels,
                   &TranscriptionTimings::totalLogmelRuns);

            platform::TaskCancellation::checkCancellation();
            const auto encoderStart = SteadyClock::now();
            const auto encoderOutput = audioEncoder_->encodeFeatures(melOutput);
            if (!encoderOutput) throw WhisperError::transcriptionFailed("Encoder output is nil");
            addRun(encoderStart, &TranscriptionTimings::encoding,
                   &TranscriptionTimings::totalEncodingRuns);

            Logging::info("Decoding " + formatted("%.2f", seekSeconds) + "s - " +
                          formatted("%.2f", windowEndSeconds) + "s");

            const auto before = timings();
            const std::int64_t windowId =
                truncatedToInt64(before.totalDecodingWindows - before.totalDecodingFallbacks);
            const TranscriptionCallback windowCallback =
                [callback, windowId](const TranscriptionProgress& progress) -> std::optional<bool> {
                if (!callback) return std::nullopt;
                TranscriptionProgress copy = progress;
                copy.windowId = windowId;
                return callback(copy);
            };

            platform::TaskCancellation::checkCancellation();
            windowSeek_ = seek;
            const DecodingResult result = decodeWithFallback(encoderOutput, options, decoderInputs,
                                                             detectedLanguage, windowCallback);

            const auto windowingStart = SteadyClock::now();
            auto [seekerSeek, segments] = segmentSeeker_->findSeekPointAndSegments(
                result, options, static_cast<std::int64_t>(allSegments.size()), seek, segmentSize,
                sampleRate, special.timeTokenBegin, special.specialTokenBegin, *tokenizer);
            std::int64_t newSeek = std::max(seekerSeek, seek);

            if (options.wordTimestamps && result.cache && result.cache->alignmentWeights) {
                const auto wordStart = SteadyClock::now();
                auto withWords = segmentSeeker_->addWordTimestamps(
                    segments.value_or(std::vector<TranscriptionSegment>{}),
                    *result.cache->alignmentWeights, *tokenizer, seek, segmentSize,
                    Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
                    static_cast<float>(static_cast<double>(seek) / sampleRate), options, timings());
                addRun(wordStart, &TranscriptionTimings::decodingWordTimestamps,
                       &TranscriptionTimings::totalTimestampAlignmentRuns);
                if (withWords)
                    std::erase_if(*withWords,
                                  [](const TranscriptionSegment& s) { return !(s.start < s.end); });
                segments = std::move(withWords);
                if (segments && !segments->empty())
                    newSeek = std::max(newSeek, truncatedToInt64(segments->back().end *
                                                                 static_cast<float>(sampleRate)));
                if (options.verbose && segments) {
                    Logging::debug("Word timestamps:");
                    for (const auto& segment : *segments)
                        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{}))
                            Logging::debug("[" + formatted("%.3g", word.start) + " -> " +
                                           formatted("%.3g", word.end) +
                                           "] prob: " + platform::numberText(word.probability) +
                                           ", word: " + word.word);
                }
            }
            if (options.maxWindowSeek && *options.maxWindowSeek > 0)
                newSeek = seek + std::min(newSeek - seek, *options.maxWindowSeek);
            // The loop ends only when the seek reaches the clip's end: a
            // window that did not move it (a model answering "<|0.00|>" to
            // silence, a seeker of our own) is passed over whole instead of
            // being decoded again forever.
            if (newSeek <= seek) {
                Logging::error("Window at seek " + std::to_string(seek) +
                               " did not advance; moving on by its " + std::to_string(segmentSize) +
                               " samples");
                newSeek = seek + std::max<std::int64_t>(segmentSize, 1);
            }

            if (!segments) {
                // The next window must start from a clean decoder state even
                // though nothing of this one is kept.
                decoderInputs->reset(Constants::maxTokenContext);
                seek = newSeek;
                continue;
            }

            auto windowSegments = windowPostProcess(seek, segmentSize, std::move(*segments));
            if (options.verbose) {
                Logging::debug("Segments for window:");
                for (const auto& segment : windowSegments)
                    Logging::debug("[" + formatted("%.2f", segment.start) + " --> " +
                                   formatted("%.2f", segment.end) + "] " + segment.text);
            }
            if (const auto discovered = segmentDiscoveryCallback()) discovered(windowSegments);
            for (auto& segment : windowSegments) {
                allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
                allSegments.push_back(std::move(segment));
            }
            addRun(windowingStart, &TranscriptionTimings::decodingWindowing,
                   &TranscriptionTimings::totalDecodingWindows);
            decoderInputs->reset(Constants::maxTokenContext);
            progress_->setCompletedUnitCount(completedAtClipStart + std::min(clipEnd, newSeek) -
                                             clipStart);
            seek = newSeek;
        }
    }

    progress_->setCompletedUnitCount(progress_->totalUnitCount());
    const double loopTime = secondsSince(loopStart);
    modifyTimings([&](TranscriptionTimings& t) {
        t.decodingLoop = loopTime;
        t.fullPipeline = absoluteTimeNow() - t.pipelineStart;
    });
    return finalizeTranscriptionResult(allTokens, std::move(allSegments), detectedLanguage,
                                       timings());
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
        sampler.setRandomSource(GreedyTokenSampler::seededRandomSource(windowSeed(windowSeek_, i)));
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
