#include "auralith/core/TextDecoder.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <numeric>
#include <string>

#include "auralith/core/Constants.hpp"
#include "auralith/core/TextDecoderInput.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/core/text/SuppressBlankFilter.hpp"
#include "auralith/core/text/SuppressTokensFilter.hpp"
#include "auralith/core/text/TimestampRulesFilter.hpp"
#include "auralith/utilities/AbsoluteTime.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/StringExtensions.hpp"
#include "auralith/utilities/TextUtilities.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/ml/TextDecoderModel.hpp"
#include "platform/system/Clock.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "platform/system/Uuid.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/ModelUtilities.hpp"

namespace auralith {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using vortil::ModelUtilities;

namespace {

constexpr std::int64_t kMaxSampledTokens = 223;
constexpr const char* kLogits = "logits";
constexpr const char* kKeyCacheUpdates = "key_cache_updates";
constexpr const char* kValueCacheUpdates = "value_cache_updates";
constexpr const char* kAlignmentHeadsWeights = "alignment_heads_weights";

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

bool debugLogging() { return Logging::isLoggingEnabled(vortil::Logging::LogLevel::debug); }

// Mask writes stay inside the arrays even when a model declares fewer cache
// positions than the pipeline's token context.
void setIfInside(MLMultiArray& array, std::int64_t index, double value) {
    if (index >= 0 && index < array.count()) array.setValue(index, value);
}

// Float-to-integer conversion that leaves values without an integer meaning absent.
std::optional<std::int64_t> truncatedIndex(float value) {
    if (!std::isfinite(value)) return std::nullopt;
    constexpr float limit = 9.2233715e18f;  // just below 2^63 in single precision
    if (value >= limit || value <= -limit) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// One step's model inputs: the state's arrays and the window's encoder output.
TextDecoderMLMultiArrayInputType stepInput(const DecodingInputs& inputs,
                                           const TextDecoding::Array& encoderOutput) {
    return {inputs.inputIds(),
            inputs.cacheLength(),
            inputs.keyCache(),
            inputs.valueCache(),
            inputs.kvCacheUpdateMask(),
            encoderOutput,
            inputs.decoderKeyPaddingMask()};
}

// Removes a run's stop flag on every way out of the loop, thrown errors included.
class StopFlagScope {
  public:
    StopFlagScope(vortil::EarlyStopActor& actor, platform::Uuid id) : actor_(actor), id_(id) {
        actor_.set(false, id_);
    }
    ~StopFlagScope() {
        if (armed_) actor_.remove(id_);
    }
    StopFlagScope(const StopFlagScope&) = delete;
    StopFlagScope& operator=(const StopFlagScope&) = delete;
    std::optional<bool> release() {
        armed_ = false;
        return actor_.remove(id_);
    }

  private:
    vortil::EarlyStopActor& actor_;
    platform::Uuid id_;
    bool armed_ = true;
};

}  // namespace

TextDecoder::TextDecoder()
    : earlyStopActor_(std::make_shared<vortil::EarlyStopActor>()),
      progressExecutor_(std::make_unique<platform::SerialExecutor>("decoder-progress")) {}

TextDecoder::~TextDecoder() { progressExecutor_->shutdown(); }

std::shared_ptr<WhisperTokenizer> TextDecoder::tokenizer() const {
    std::lock_guard lock(settingsMutex_);
    return settings_.tokenizer;
}
void TextDecoder::setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) {
    std::lock_guard lock(settingsMutex_);
    settings_.tokenizer = std::move(tokenizer);
}
bool TextDecoder::isModelMultilingual() const {
    std::lock_guard lock(settingsMutex_);
    return settings_.isModelMultilingual;
}
void TextDecoder::setIsModelMultilingual(bool multilingual) {
    std::lock_guard lock(settingsMutex_);
    settings_.isModelMultilingual = multilingual;
}
std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> TextDecoder::logitsFilters() const {
    std::lock_guard lock(settingsMutex_);
    return settings_.logitsFilters;
}
void TextDecoder::setLogitsFilters(
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) {
    std::lock_guard lock(settingsMutex_);
    settings_.logitsFilters = std::move(filters);
}
std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageLogitsFilter() const {
    std::lock_guard lock(settingsMutex_);
    return settings_.languageLogitsFilter;
}
void TextDecoder::setLanguageLogitsFilter(std::shared_ptr<LanguageLogitsFilter> filter) {
    std::lock_guard lock(settingsMutex_);
    settings_.languageLogitsFilter = std::move(filter);
}

std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageFilterFor(
    const WhisperTokenizer& tokenizer, std::int64_t logitsDim) {
    // Built under the lock so that overlapping detections make exactly one.
    std::lock_guard lock(settingsMutex_);
    if (!settings_.languageLogitsFilter)
        settings_.languageLogitsFilter =
            std::make_shared<LanguageLogitsFilter>(tokenizer.allLanguageTokens(), logitsDim, 0);
    return settings_.languageLogitsFilter;
}

bool TextDecoder::supportsWordTimestamps() const {
    return ModelUtilities::getModelOutputDimension(model().get(), kAlignmentHeadsWeights, 0)
        .has_value();
}
std::optional<std::int64_t> TextDecoder::logitsSize() const {
    return ModelUtilities::getModelOutputDimension(model().get(), kLogits, 2);
}
std::optional<std::int64_t> TextDecoder::kvCacheEmbedDim() const {
    return ModelUtilities::getModelInputDimension(model().get(), TextDecoderInput::kKeyCache, 1);
}
std::optional<std::int64_t> TextDecoder::kvCacheMaxSequenceLength() const {
    return ModelUtilities::getModelInputDimension(model().get(), TextDecoderInput::kKeyCache, 3);
}
std::optional<std::int64_t> TextDecoder::windowSize() const {
    return ModelUtilities::getModelInputDimension(model().get(),
                                                  TextDecoderInput::kEncoderOutputEmbeds, 3);
}
std::optional<std::int64_t> TextDecoder::embedSize() const {
    return ModelUtilities::getModelInputDimension(model().get(),
                                                  TextDecoderInput::kEncoderOutputEmbeds, 1);
}

void TextDecoder::unloadModel() {
    WhisperMLModel::unloadModel();
    setLanguageLogitsFilter(nullptr);
}

void TextDecoder::debugCaches(const DecodingInputs& decoderInputs, std::int64_t) const {
    if (!debugLogging()) return;
    const auto element = [](const TextDecoding::Array& array, std::int64_t index) {
        return array && index >= 0 && index < array->count() ? array->doubleValue(index) : 0.0;
    };
    char line[160];
    Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    std::snprintf(line, sizeof line, "Cache Length: %2.0f Input Token: %4.0f",
                  element(decoderInputs.cacheLength(), 0), element(decoderInputs.inputIds(), 0));
    Logging::debug(std::string(line));
    Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    const auto& alignment = decoderInputs.alignmentWeights();
    // Row i of the alignment table starts at its own row stride, whatever the model's width.
    const std::int64_t rowStride =
        alignment && alignment->strides().size() == 2 ? alignment->strides()[0] : 0;
    for (std::int64_t i = 0; i < 4; ++i) {
        std::snprintf(line, sizeof line, "%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d",
                      element(decoderInputs.keyCache(), i), element(decoderInputs.valueCache(), i),
                      rowStride ? element(alignment, i * rowStride) : 0.0,
                      element(decoderInputs.kvCacheUpdateMask(), i),
                      element(decoderInputs.decoderKeyPaddingMask(), i), static_cast<int>(i));
        Logging::debug(std::string(line));
    }
}

std::optional<std::pair<TextDecoding::Array, std::optional<DecodingCache>>>
TextDecoder::predictLogits(Array inputIds, Array cacheLength, Array keyCache, Array valueCache,
                           Array kvCacheUpdateMask, Array encoderOutputEmbeds,
                           Array decoderKeyPaddingMask) {
    const auto model = this->model();
    if (!model) return std::nullopt;
    const TextDecoderInput input(std::move(inputIds), std::move(cacheLength), std::move(keyCache),
                                 std::move(valueCache), std::move(kvCacheUpdateMask),
                                 std::move(encoderOutputEmbeds), std::move(decoderKeyPaddingMask));
    platform::TaskCancellation::checkCancellation();
    const auto output = model->prediction(input);
    const auto array = [&](const char* name) -> Array {
        const auto value = output->featureValue(name);
        return value ? value->multiArrayValue() : nullptr;
    };
    Array logits = array(kLogits);
    DecodingCache cache{array(kKeyCacheUpdates), array(kValueCacheUpdates),
                        array(kAlignmentHeadsWeights)};
    if (!logits || !cache.keyCache || !cache.valueCache)
        throw WhisperError::decodingLogitsFailed("Unable to decode logits");
    return std::make_pair(std::move(logits), std::optional<DecodingCache>(std::move(cache)));
}

namespace {

// The arrays and the record one thread's steps on our runtime write into.
// Each is reused only while nobody else holds it, so a caller that keeps a
// step's outputs gets fresh ones on the next step instead of seeing them change.
struct ReusedStepOutputs {
    std::weak_ptr<const platform::ml::MLModel> model;  // whose output shapes these are
    std::vector<std::int64_t> logitsShape, updateShape, alignmentShape;
    TextDecoding::Array logits, keys, values, alignment;
    std::shared_ptr<TextDecoderMLMultiArrayOutputType> record;

    void adopt(const std::shared_ptr<const platform::ml::MLModel>& current) {
        if (!model.owner_before(current) && !current.owner_before(model) && !model.expired())
            return;
        model = current;
        const auto& outputs = current->modelDescription().outputDescriptionsByName;
        const auto shapeOf = [&](const char* name) {
            const auto it = outputs.find(name);
            return it != outputs.end() && it->second.multiArrayConstraint
                       ? it->second.multiArrayConstraint->shape
                       : std::vector<std::int64_t>{};
        };
        logitsShape = shapeOf(kLogits);
        updateShape = shapeOf(kKeyCacheUpdates);
        alignmentShape = shapeOf(kAlignmentHeadsWeights);
    }
    // The record's hold on last step's arrays goes when nobody else holds the record.
    void release() {
        if (record && record.use_count() == 1) {
            record->logits.reset();
            record->cache.reset();
        }
    }
    static TextDecoding::Array take(TextDecoding::Array& kept,
                                    const std::vector<std::int64_t>& shape) {
        if (!kept || kept.use_count() > 1 || kept->shape() != shape)
            kept = MLMultiArray::make(shape, platform::ml::MLMultiArrayDataType::float16);
        return kept;
    }
};

}  // namespace

std::shared_ptr<TextDecoderOutputType> TextDecoder::predictLogits(
    const TextDecoderInputType& input) {
    const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&input);
    if (!arrays)
        throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
    const auto model = this->model();
    const auto* runtime = dynamic_cast<const platform::ml::TextDecoderModel*>(model.get());
    if (!runtime) {
        auto step = predictLogits(arrays->inputIds, arrays->cacheLength, arrays->keyCache,
                                  arrays->valueCache, arrays->kvCacheUpdateMask,
                                  arrays->encoderOutputEmbeds, arrays->decoderKeyPaddingMask);
        if (!step)
            return std::make_shared<TextDecoderMLMultiArrayOutputType>(nullptr, std::nullopt);
        return std::make_shared<TextDecoderMLMultiArrayOutputType>(std::move(step->first),
                                                                   std::move(step->second));
    }

    // Our runtime writes into outputs kept from the thread's previous step:
    // a decoding loop allocates nothing per token here.
    thread_local ReusedStepOutputs reused;
    reused.adopt(model);
    reused.release();
    platform::ml::TextDecoderModel::StepArrays step;
    step.inputIds = arrays->inputIds.get();
    step.cacheLength = arrays->cacheLength.get();
    step.keyCache = arrays->keyCache.get();
    step.valueCache = arrays->valueCache.get();
    step.kvCacheUpdateMask = arrays->kvCacheUpdateMask.get();
    step.encoderOutputEmbeds = arrays->encoderOutputEmbeds.get();
    step.decoderKeyPaddingMask = arrays->decoderKeyPaddingMask.get();
    const auto logits = ReusedStepOutputs::take(reused.logits, reused.logitsShape);
    DecodingCache cache{ReusedStepOutputs::take(reused.keys, reused.updateShape),
                        ReusedStepOutputs::take(reused.values, reused.updateShape),
                        runtime->hasAlignmentHeads()
                            ? ReusedStepOutputs::take(reused.alignment, reused.alignmentShape)
                            : nullptr};
    step.logits = logits.get();
    step.keyCacheUpdates = cache.keyCache.get();
    step.valueCacheUpdates = cache.valueCache.get();
    step.alignmentHeadsWeights = cache.alignmentWeights.get();
    platform::TaskCancellation::checkCancellation();
    runtime->predict(step);
    if (!reused.record || reused.record.use_count() > 1) {
        reused.record =
            std::make_shared<TextDecoderMLMultiArrayOutputType>(logits, std::move(cache));
    } else {
        reused.record->logits = logits;
        reused.record->cache = std::move(cache);
    }
    return reused.record;
}

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(
    const DecodingOptions& options, std::int64_t initialPromptIndex,
    const WhisperTokenizer& tokenizer) const {
    auto filters = logitsFilters().value_or(std::vector<std::shared_ptr<LogitsFiltering>>{});
    const SpecialTokens& special = tokenizer.specialTokens();
    if (options.suppressBlank)
        filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
    if (!options.suppressTokens.empty()) {
        std::vector<std::int64_t> ids;
        std::copy_if(options.suppressTokens.begin(), options.suppressTokens.end(),
                     std::back_inserter(ids),
                     [&](std::int64_t id) { return id < special.specialTokenBegin; });
        filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(ids)));
    }
    if (!options.withoutTimestamps) {
        std::optional<std::int64_t> maxInitialTimestampIndex;
        if (options.maxInitialTimestamp)
            maxInitialTimestampIndex = truncatedIndex(*options.maxInitialTimestamp / 0.02f);
        filters.push_back(std::make_shared<TimestampRulesFilter>(
            special, initialPromptIndex, maxInitialTimestampIndex, isModelMultilingual()));
    }
    return filters;
}

DecodingResult TextDecoder::detectLanguage(const Array& encoderOutput,
                                           const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                           TokenSampling& sampler, const DecodingOptions&,
                                           Float16) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const auto logitsDim = logitsSize();
    if (!logitsDim) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
    const SpecialTokens& special = tokenizer->specialTokens();
    const std::vector<std::int64_t> prompt{special.startOfTranscriptToken};
    const std::vector<float> promptLogProbs{0.0f};
    const auto filter = languageFilterFor(*tokenizer, *logitsDim);

    auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
    if (decoderInputs) {
        setIfInside(*decoderInputs->inputIds(), 0, static_cast<double>(prompt[0]));
        setIfInside(*decoderInputs->cacheLength(), 0, 0);
    }
    const auto predictionStart = SteadyClock::now();
    Logging::debug("Detecting language...");
    if (!encoderOutput)
        throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    if (!inputs)
        throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");

    const auto output = predictLogits(stepInput(*inputs, encoderOutput));
    const auto* step = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(output.get());
    if (!step || !step->logits) {
        Logging::error("Unable to decode logits");
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
    }
    const double predictionTime = secondsSince(predictionStart);

    const auto logits = filter->filterLogits(step->logits, prompt);
    const auto samplingStart = SteadyClock::now();
    const SamplingResult sampled = sampler.update(prompt, *logits, promptLogProbs);
    const double samplingTime = secondsSince(samplingStart);
    if (sampled.tokens.empty() || sampled.tokens.size() != sampled.logProbs.size())
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");

    const auto& languageTokens = tokenizer->allLanguageTokens();
    std::map<std::string, float> languageProbs;
    for (std::size_t i = 0; i < sampled.tokens.size(); ++i)
        if (languageTokens.contains(sampled.tokens[i]))
            languageProbs[trimmingSpecialTokenCharacters(tokenizer->decode({sampled.tokens[i]}))] =
                sampled.logProbs[i];
    std::string language =
        trimmingSpecialTokenCharacters(tokenizer->decode({sampled.tokens.back()}));
    if (Constants::languageCodes().contains(language)) {
        Logging::debug("Detected language: " + language);
    } else {
        Logging::error("Detected language " + language + " is not supported, defaulting to en");
        language = "en";
    }

    DecodingResult result;
    result.language = std::move(language);
    result.languageProbs = std::move(languageProbs);
    TranscriptionTimings timings;
    timings.decodingPredictions = predictionTime;
    timings.decodingSampling = samplingTime;
    result.timings = timings;
    return result;
}

DecodingResult TextDecoder::decodeText(const Array& encoderOutput,
                                       const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                       TokenSampling& sampler, const DecodingOptions& options,
                                       const TranscriptionCallback& callback) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    if (!decoderInputs)
        throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    const std::vector<std::int64_t> prompt = decoderInputs->initialPrompt();
    if (prompt.empty())
        throw WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty");
    const SpecialTokens& special = tokenizer->specialTokens();
    const auto promptLength = static_cast<std::int64_t>(prompt.size());

    std::int64_t nextToken = prompt.back();
    std::vector<std::int64_t> currentTokens = prompt;
    std::vector<float> logProbs(prompt.size(), 0.0f);
    // Room for the longest window up front: the loop itself allocates nothing per token.
    const auto capacity = std::max(prompt.size(), static_cast<std::size_t>(kMaxSampledTokens)) + 2;
    currentTokens.reserve(capacity);
    logProbs.reserve(capacity);
    // What the sampler was given, should it hand back something malformed.
    std::vector<std::int64_t> samplerInputTokens;
    std::vector<float> samplerInputLogProbs;
    samplerInputTokens.reserve(capacity);
    samplerInputLogProbs.reserve(capacity);
    const auto filters = createLogitsFilters(options, promptLength, *tokenizer);

    // Saturating: a huge sampleLength must not wrap around into a negative bound.
    const std::int64_t bound =
        options.sampleLength > std::numeric_limits<std::int64_t>::max() - promptLength
            ? std::numeric_limits<std::int64_t>::max()
            : promptLength - 1 + options.sampleLength;
    std::int64_t loopCount = std::min(bound, kMaxSampledTokens);
    // Every step writes its cache slot and opens the next one: a model with a
    // shorter cache gets as many steps as it has slots to open.
    if (const auto* inputs = dynamic_cast<const DecodingInputs*>(decoderInputs.get());
        inputs && inputs->keyCache() && inputs->keyCache()->shape().size() == 4)
        loopCount = std::min(loopCount, inputs->keyCache()->shape()[3] - 1);
    loopCount = std::max<std::int64_t>(loopCount, 0);
    Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) +
                   " iterations");

    const auto windowUUID = platform::Uuid::random();
    StopFlagScope stopFlag(*earlyStopActor_, windowUUID);
    const bool logSteps = debugLogging();
    const auto tokenText = [&](std::int64_t token) {
        return logSteps ? tokenizer->decode({token}) : std::string();
    };

    TranscriptionTimings totals;  // the run's sums; pipelineStart etc. keep their defaults
    bool hasAlignment = false;
    bool isFirstTokenLogProbTooLow = false;
    double firstTokenTime = std::numeric_limits<double>::max();

    for (std::int64_t i = 0; i < loopCount; ++i) {
        const auto stepStart = SteadyClock::now();
        const bool isFirstToken = i == promptLength - 1;
        if (i < promptLength) {
            auto& promptToken = currentTokens[static_cast<std::size_t>(i)];
            if (isFirstToken && promptToken >= special.timeTokenBegin &&
                nextToken >= special.timeTokenBegin) {
                promptToken = nextToken;
                if (logSteps)
                    Logging::debug("Skipping prompt tokenIndex: " + std::to_string(i) +
                                   ", token: " + std::to_string(nextToken) +
                                   ", text: " + tokenText(nextToken));
            } else {
                nextToken = promptToken;
                if (logSteps)
                    Logging::debug("Forcing prompt tokenIndex: " + std::to_string(i) + ", token: " +
                                   std::to_string(nextToken) + ", text: " + tokenText(nextToken));
            }
        }

        auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
        if (!inputs)
            throw WhisperError::prepareDecoderInputsFailed(
                "DecodingInputsType must be DecodingInputs");
        setIfInside(*inputs->inputIds(), 0, static_cast<double>(nextToken));
        setIfInside(*inputs->cacheLength(), 0, static_cast<double>(i));
        if (i <= 3) debugCaches(*inputs, i);

        const auto predictionStart = SteadyClock::now();
        if (!encoderOutput)
            throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
        const auto output = predictLogits(stepInput(*inputs, encoderOutput));
        const auto* step = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(output.get());
        if (!step || !step->logits || !step->cache || !step->cache->keyCache ||
            !step->cache->valueCache)
            throw WhisperError::decodingLogitsFailed("Unable to decode logits");
        const double predictionTime = secondsSince(predictionStart);
        const auto outputArrived = SteadyClock::now();

        auto logits = step->logits;
        for (const auto& filter : filters) logits = filter->filterLogits(logits, currentTokens);
        const double filteringTime = secondsSince(outputArrived);

        const auto samplingStart = SteadyClock::now();
        // The sequences go through the sampler and come back one longer; the
        // choice is taken off again until the stop tests have passed.
        const std::size_t before = currentTokens.size();
        samplerInputTokens.assign(currentTokens.begin(), currentTokens.end());
        samplerInputLogProbs.assign(logProbs.begin(), logProbs.end());
        SamplingResult sampled =
            sampler.update(std::move(currentTokens), *logits, std::move(logProbs));
        const double samplingTime = secondsSince(samplingStart);
        // A sampler that could not choose ends the window as if it chose the end.
        const bool choseOne =
            sampled.tokens.size() == before + 1 && sampled.logProbs.size() == before + 1;
        const std::int64_t chosen = choseOne ? sampled.tokens.back() : special.endToken;
        const float chosenLogProb =
            choseOne ? sampled.logProbs.back() : -std::numeric_limits<float>::infinity();
        const bool completed = choseOne ? sampled.completed : true;
        if (choseOne) {
            currentTokens = std::move(sampled.tokens);
            logProbs = std::move(sampled.logProbs);
            currentTokens.pop_back();
            logProbs.pop_back();
        } else {
            currentTokens = std::move(samplerInputTokens);
            logProbs = std::move(samplerInputLogProbs);
            samplerInputTokens = {};
            samplerInputLogProbs = {};
            samplerInputTokens.reserve(currentTokens.capacity());
            samplerInputLogProbs.reserve(logProbs.capacity());
        }
        if (logSteps)
            Logging::debug("Predicted next tokenIndex: " + std::to_string(i + 1) +
                           ", token: " + std::to_string(chosen) + ", text: " + tokenText(chosen));

        isFirstTokenLogProbTooLow = options.firstTokenLogProbThreshold && isFirstToken &&
                                    chosenLogProb < *options.firstTokenLogProbThreshold;
        const bool ended = completed && i >= promptLength - 1;
        if (isFirstTokenLogProbTooLow || ended ||
            static_cast<std::int64_t>(currentTokens.size()) >= kMaxSampledTokens) {
            totals.decodingPredictions += predictionTime;
            totals.decodingFiltering += filteringTime;
            totals.decodingSampling += samplingTime;
            totals.decodingNonPrediction += secondsSince(outputArrived);
            totals.decodingLoop += secondsSince(stepStart);
            totals.totalDecodingLoops += 1;
            break;
        }

        if (i >= promptLength - 1) {
            currentTokens.push_back(chosen);
            logProbs.push_back(chosenLogProb);
        }
        nextToken = chosen;

        const auto cacheStart = SteadyClock::now();
        updateKVCache(*inputs->keyCache(), *step->cache->keyCache, *inputs->valueCache(),
                      *step->cache->valueCache, i);
        setIfInside(*inputs->decoderKeyPaddingMask(), i + 1, 0);
        setIfInside(*inputs->kvCacheUpdateMask(), i, 0);
        setIfInside(*inputs->kvCacheUpdateMask(), i + 1, 1);
        if (step->cache->alignmentWeights) {
            updateAlignmentWeights(*inputs->alignmentWeights(), *step->cache->alignmentWeights, i);
            hasAlignment = true;
        }
        const double cacheTime = secondsSince(cacheStart);

        if (callback) {
            const auto textTokens = [&] {
                if (!options.skipSpecialTokens) return currentTokens;
                std::vector<std::int64_t> kept;
                std::copy_if(currentTokens.begin(), currentTokens.end(), std::back_inserter(kept),
                             [&](std::int64_t t) { return t < special.specialTokenBegin; });
                return kept;
            }();
            TranscriptionTimings timings;
            timings.firstTokenTime = firstTokenTime;
            timings.decodingPredictions = totals.decodingPredictions + predictionTime;
            timings.decodingFiltering = totals.decodingFiltering + filteringTime;
            timings.decodingSampling = totals.decodingSampling + samplingTime;
            timings.decodingKvCaching = totals.decodingKvCaching + cacheTime;
            timings.totalKVUpdateRuns = totals.totalKVUpdateRuns + 1;
            timings.decodingLoop = totals.decodingLoop;
            timings.decodingNonPrediction = totals.decodingNonPrediction;
            timings.totalDecodingLoops = totals.totalDecodingLoops;
            const float sum = std::accumulate(logProbs.begin(), logProbs.end(), 0.0f);
            TranscriptionProgress progress(timings, tokenizer->decode(textTokens), currentTokens,
                                           std::nullopt, sum / static_cast<float>(logProbs.size()),
                                           TextUtilities::compressionRatio(currentTokens), 0);
            const bool promptStep = i < promptLength - 1;
            progressExecutor_->post([callback, progress = std::move(progress), promptStep,
                                     actor = earlyStopActor_, windowUUID] {
                const auto verdict = callback(progress);
                if (verdict == false && !promptStep) {
                    Logging::debug("Early stopping");
                    // A run that has already ended keeps no flag to set.
                    actor->setIfPresent(true, windowUUID);
                }
            });
        }

        const double nonPredictionTime = secondsSince(outputArrived);
        const double loopTime = secondsSince(stepStart);
        if (i == 0) {
            if (logSteps)
                Logging::debug("Found first token at: " + platform::formatISO8601Milliseconds(
                                                              platform::Clock::system().now()));
            firstTokenTime = absoluteTimeNow();
        }
        totals.decodingPredictions += predictionTime;
        totals.decodingFiltering += filteringTime;
        totals.decodingSampling += samplingTime;
        totals.decodingKvCaching += cacheTime;
        totals.decodingNonPrediction += nonPredictionTime;
        totals.decodingLoop += loopTime;
        totals.totalDecodingLoops += 1;
        totals.totalKVUpdateRuns += 1;
        if (earlyStopActor_->get(windowUUID)) break;
    }

    if (!stopFlag.release())
        Logging::error("Early stop flag not found for window: " + windowUUID.string());

    std::optional<DecodingCache> cache;
    if (const auto* inputs = dynamic_cast<const DecodingInputs*>(decoderInputs.get()))
        cache = DecodingCache{inputs->keyCache(), inputs->valueCache(),
                              hasAlignment ? inputs->alignmentWeights() : nullptr};

    const SamplingResult finalized = sampler.finalize(currentTokens, logProbs);
    const auto& allTokens = finalized.tokens;
    const auto firstOf = [&](std::int64_t token, std::size_t from) {
        return static_cast<std::size_t>(
            std::find(allTokens.begin() + static_cast<std::ptrdiff_t>(from), allTokens.end(),
                      token) -
            allTokens.begin());
    };
    std::size_t start = firstOf(special.startOfTranscriptToken, 0);
    if (start == allTokens.size()) start = 0;
    // The end of text is looked for from the start of transcript on; a list
    // without one is kept to its end.
    const std::size_t endIndex = firstOf(special.endToken, start);
    const std::size_t stop = std::min(endIndex + 1, allTokens.size());
    const std::vector<std::int64_t> tokens(allTokens.begin() + static_cast<std::ptrdiff_t>(start),
                                           allTokens.begin() + static_cast<std::ptrdiff_t>(stop));
    std::vector<float> keptLogProbs;
    for (std::size_t k = start; k < stop; ++k)
        keptLogProbs.push_back(k < finalized.logProbs.size() ? finalized.logProbs[k] : 0.0f);

    DecodingResult result;
    result.avgLogProb = keptLogProbs.empty()
                            ? 0.0f
                            : std::accumulate(keptLogProbs.begin(), keptLogProbs.end(), 0.0f) /
                                  static_cast<float>(keptLogProbs.size());
    for (std::size_t k = 0; k < tokens.size(); ++k)
        result.tokenLogProbs.push_back({{tokens[k], keptLogProbs[k]}});
    std::vector<std::int64_t> textTokens;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(textTokens),
                 [&](std::int64_t t) { return t < special.specialTokenBegin; });
    result.compressionRatio = TextUtilities::compressionRatio(textTokens);
    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler))
        result.temperature = vortil::rounded(static_cast<float>(greedy->temperature), 3);
    else
        result.temperature = options.temperature;

    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
    } else {
        result.language = "en";
        result.languageProbs = {{"en", 0.0f}};
        const auto& languageTokens = tokenizer->allLanguageTokens();
        for (std::size_t k = 0; k < tokens.size(); ++k)
            if (languageTokens.contains(tokens[k])) {
                result.language = trimmingSpecialTokenCharacters(tokenizer->decode({tokens[k]}));
                result.languageProbs = {{result.language, keptLogProbs[k]}};
                break;
            }
    }
    result.text = tokenizer->decode(tokens);
    Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = 0.0f;
    result.fallback = DecodingFallback::fromOptions(options, isFirstTokenLogProbTooLow, 0.0f,
                                                    result.compressionRatio, result.avgLogProb);
    result.tokens = tokens;
    result.cache = std::move(cache);
    TranscriptionTimings timings;
    timings.firstTokenTime = firstTokenTime;
    timings.decodingLoop = totals.decodingLoop;
    timings.decodingPredictions = totals.decodingPredictions;
    timings.decodingFiltering = totals.decodingFiltering;
    timings.decodingSampling = totals.decodingSampling;
    timings.decodingKvCaching = totals.decodingKvCaching;
    timings.decodingNonPrediction = totals.decodingNonPrediction;
    timings.totalDecodingLoops = totals.totalDecodingLoops;
    timings.totalKVUpdateRuns = totals.totalKVUpdateRuns;
    result.timings = timings;
    return result;
}

void TextDecoder::drainProgressCallbacks() {
    progressExecutor_->call([] {});
}

}  // namespace auralith
