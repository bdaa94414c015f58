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
#include "auralith/core/StageTimer.hpp"
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
    step.encoderUnchanged = arrays->encoderOutputUnchanged;
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

// One window's decoding loop: the constructor prepares it (the prompt, the
// filters, the number of steps, the early-stop flag), step() runs the model
// for one token and samples the next, finish() turns the sampled sequence
// into the window's result. Lives for one decodeText call.
class TextDecoder::WindowDecoding {
  public:
    WindowDecoding(TextDecoder& decoder, const Array& encoderOutput,
                   const std::shared_ptr<DecodingInputsType>& decoderInputs, TokenSampling& sampler,
                   const DecodingOptions& options, const TranscriptionCallback& callback);

    std::int64_t stepCount() const { return stepCount_; }
    // False once the window has ended: the end of text, a first token below
    // its threshold, the token limit, or an early stop.
    bool step(std::int64_t i);
    DecodingResult finish();

  private:
    struct Choice {
        std::int64_t token;
        float logProb;
        bool completed;
    };

    void forcePromptToken(std::int64_t i);
    DecodingInputs& inputs() const;
    // Step i of the window; every step after the first runs on the same,
    // unchanged encoder output.
    const TextDecoderMLMultiArrayOutputType& predict(DecodingInputs& inputs, std::int64_t i,
                                                     std::shared_ptr<TextDecoderOutputType>& keep);
    Choice sample(const MLMultiArray& logits);
    void updateCaches(DecodingInputs& inputs, const TextDecoderMLMultiArrayOutputType& output,
                      std::int64_t i);
    void reportProgress(std::int64_t i);
    void setLanguage(DecodingResult& result, const std::vector<float>& logProbs) const;
    std::string tokenText(std::int64_t token) const {
        return logSteps_ ? tokenizer_->decode({token}) : std::string();
    }

    TextDecoder& decoder_;
    const Array& encoderOutput_;
    DecodingInputs* inputs_;  // none when the caller's inputs are of another kind
    TokenSampling& sampler_;
    const DecodingOptions& options_;
    const TranscriptionCallback& callback_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    const SpecialTokens* special_ = nullptr;
    std::int64_t promptLength_ = 0;
    std::int64_t nextToken_ = 0;
    std::vector<std::int64_t> currentTokens_;
    std::vector<float> logProbs_;
    // What the sampler was given, should it hand back something malformed.
    std::vector<std::int64_t> samplerInputTokens_;
    std::vector<float> samplerInputLogProbs_;
    std::vector<std::shared_ptr<LogitsFiltering>> filters_;
    std::int64_t stepCount_ = 0;
    platform::Uuid windowUUID_ = platform::Uuid::random();
    std::optional<StopFlagScope> stopFlag_;
    bool logSteps_ = false;
    // The run's sums, in the record the result carries; the fields no step
    // times keep their defaults.
    TranscriptionTimings totals_;
    bool hasAlignment_ = false;
    bool isFirstTokenLogProbTooLow_ = false;
};

TextDecoder::WindowDecoding::WindowDecoding(
    TextDecoder& decoder, const Array& encoderOutput,
    const std::shared_ptr<DecodingInputsType>& decoderInputs, TokenSampling& sampler,
    const DecodingOptions& options, const TranscriptionCallback& callback)
    : decoder_(decoder),
      encoderOutput_(encoderOutput),
      inputs_(dynamic_cast<DecodingInputs*>(decoderInputs.get())),
      sampler_(sampler),
      options_(options),
      callback_(callback),
      tokenizer_(decoder.tokenizer()) {
    if (!tokenizer_) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    if (!decoderInputs)
        throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    currentTokens_ = decoderInputs->initialPrompt();
    if (currentTokens_.empty())
        throw WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty");
    special_ = &tokenizer_->specialTokens();
    promptLength_ = static_cast<std::int64_t>(currentTokens_.size());
    nextToken_ = currentTokens_.back();
    logProbs_.assign(currentTokens_.size(), 0.0f);
    // Room for the longest window up front: the loop itself allocates nothing per token.
    const auto capacity =
        std::max(currentTokens_.size(), static_cast<std::size_t>(kMaxSampledTokens)) + 2;
    for (auto* tokens : {&currentTokens_, &samplerInputTokens_}) tokens->reserve(capacity);
    for (auto* probs : {&logProbs_, &samplerInputLogProbs_}) probs->reserve(capacity);
    filters_ = decoder_.createLogitsFilters(options, promptLength_, *tokenizer_);

    // Saturating: a huge sampleLength must not wrap around into a negative bound.
    const std::int64_t bound =
        options.sampleLength > std::numeric_limits<std::int64_t>::max() - promptLength_
            ? std::numeric_limits<std::int64_t>::max()
            : promptLength_ - 1 + options.sampleLength;
    stepCount_ = std::min(bound, kMaxSampledTokens);
    // Every step writes its cache slot and opens the next one: a model with a
    // shorter cache gets as many steps as it has slots to open.
    if (inputs_ && inputs_->keyCache() && inputs_->keyCache()->shape().size() == 4)
        stepCount_ = std::min(stepCount_, inputs_->keyCache()->shape()[3] - 1);
    stepCount_ = std::max<std::int64_t>(stepCount_, 0);
    Logging::debug("Running main loop for a maximum of " + std::to_string(stepCount_) +
                   " iterations");
    stopFlag_.emplace(*decoder_.earlyStopActor_, windowUUID_);
    logSteps_ = debugLogging();
}

bool TextDecoder::WindowDecoding::step(std::int64_t i) {
    StageTimer loop(addingTo(totals_, &TranscriptionTimings::decodingLoop));
    const bool isFirstToken = i == promptLength_ - 1;
    if (i < promptLength_) forcePromptToken(i);
    DecodingInputs& inputs = this->inputs();
    setIfInside(*inputs.inputIds(), 0, static_cast<double>(nextToken_));
    setIfInside(*inputs.cacheLength(), 0, static_cast<double>(i));
    if (i <= 3) decoder_.debugCaches(inputs, i);

    std::shared_ptr<TextDecoderOutputType> keep;
    const TextDecoderMLMultiArrayOutputType& output = predict(inputs, i, keep);
    StageTimer nonPrediction(addingTo(totals_, &TranscriptionTimings::decodingNonPrediction));
    auto logits = output.logits;
    {
        StageTimer filtering(addingTo(totals_, &TranscriptionTimings::decodingFiltering));
        for (const auto& filter : filters_) logits = filter->filterLogits(logits, currentTokens_);
    }
    const Choice choice = sample(*logits);
    if (logSteps_)
        Logging::debug("Predicted next tokenIndex: " + std::to_string(i + 1) + ", token: " +
                       std::to_string(choice.token) + ", text: " + tokenText(choice.token));

    isFirstTokenLogProbTooLow_ = options_.firstTokenLogProbThreshold && isFirstToken &&
                                 choice.logProb < *options_.firstTokenLogProbThreshold;
    const bool ended = choice.completed && i >= promptLength_ - 1;
    const bool full = static_cast<std::int64_t>(currentTokens_.size()) >= kMaxSampledTokens;
    if (!isFirstTokenLogProbTooLow_ && !ended && !full) {
        if (i >= promptLength_ - 1) {
            currentTokens_.push_back(choice.token);
            logProbs_.push_back(choice.logProb);
        }
        nextToken_ = choice.token;
        updateCaches(inputs, output, i);
        if (callback_) reportProgress(i);
        if (i == 0) {
            if (logSteps_)
                Logging::debug("Found first token at: " + platform::formatISO8601Milliseconds(
                                                              platform::Clock::system().now()));
            totals_.firstTokenTime = absoluteTimeNow();
        }
    }
    nonPrediction.stop();
    loop.stop();
    totals_.totalDecodingLoops += 1;
    if (isFirstTokenLogProbTooLow_ || ended || full) return false;
    return !decoder_.earlyStopActor_->get(windowUUID_);
}

void TextDecoder::WindowDecoding::forcePromptToken(std::int64_t i) {
    auto& promptToken = currentTokens_[static_cast<std::size_t>(i)];
    if (i == promptLength_ - 1 && promptToken >= special_->timeTokenBegin &&
        nextToken_ >= special_->timeTokenBegin) {
        promptToken = nextToken_;
        if (logSteps_)
            Logging::debug("Skipping prompt tokenIndex: " + std::to_string(i) + ", token: " +
                           std::to_string(nextToken_) + ", text: " + tokenText(nextToken_));
    } else {
        nextToken_ = promptToken;
        if (logSteps_)
            Logging::debug("Forcing prompt tokenIndex: " + std::to_string(i) + ", token: " +
                           std::to_string(nextToken_) + ", text: " + tokenText(nextToken_));
    }
}

DecodingInputs& TextDecoder::WindowDecoding::inputs() const {
    if (!inputs_)
        throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    return *inputs_;
}

const TextDecoderMLMultiArrayOutputType& TextDecoder::WindowDecoding::predict(
    DecodingInputs& inputs, std::int64_t i, std::shared_ptr<TextDecoderOutputType>& keep) {
    StageTimer prediction(addingTo(totals_, &TranscriptionTimings::decodingPredictions));
    if (!encoderOutput_)
        throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    auto input = stepInput(inputs, encoderOutput_);
    input.encoderOutputUnchanged = i > 0;
    keep = decoder_.predictLogits(input);
    const auto* output = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(keep.get());
    if (!output || !output->logits || !output->cache || !output->cache->keyCache ||
        !output->cache->valueCache)
        throw WhisperError::decodingLogitsFailed("Unable to decode logits");
    return *output;
}

// The sequences go through the sampler and come back one longer; the choice
// is taken off again until the stop tests have passed. A sampler that could
// not choose ends the window as if it chose the end.
TextDecoder::WindowDecoding::Choice TextDecoder::WindowDecoding::sample(
    const MLMultiArray& logits) {
    const std::size_t before = currentTokens_.size();
    samplerInputTokens_.assign(currentTokens_.begin(), currentTokens_.end());
    samplerInputLogProbs_.assign(logProbs_.begin(), logProbs_.end());
    SamplingResult sampled = [&] {
        StageTimer sampling(addingTo(totals_, &TranscriptionTimings::decodingSampling));
        return sampler_.update(std::move(currentTokens_), logits, std::move(logProbs_));
    }();
    const bool choseOne =
        sampled.tokens.size() == before + 1 && sampled.logProbs.size() == before + 1;
    if (!choseOne) {
        currentTokens_ = std::move(samplerInputTokens_);
        logProbs_ = std::move(samplerInputLogProbs_);
        samplerInputTokens_ = {};
        samplerInputLogProbs_ = {};
        samplerInputTokens_.reserve(currentTokens_.capacity());
        samplerInputLogProbs_.reserve(logProbs_.capacity());
        return {special_->endToken, -std::numeric_limits<float>::infinity(), true};
    }
    const Choice choice{sampled.tokens.back(), sampled.logProbs.back(), sampled.completed};
    currentTokens_ = std::move(sampled.tokens);
    logProbs_ = std::move(sampled.logProbs);
    currentTokens_.pop_back();
    logProbs_.pop_back();
    return choice;
}

void TextDecoder::WindowDecoding::updateCaches(DecodingInputs& inputs,
                                               const TextDecoderMLMultiArrayOutputType& output,
                                               std::int64_t i) {
    StageTimer caching(addingTo(totals_, &TranscriptionTimings::decodingKvCaching,
                                &TranscriptionTimings::totalKVUpdateRuns));
    updateKVCache(*inputs.keyCache(), *output.cache->keyCache, *inputs.valueCache(),
                  *output.cache->valueCache, i);
    setIfInside(*inputs.decoderKeyPaddingMask(), i + 1, 0);
    setIfInside(*inputs.kvCacheUpdateMask(), i, 0);
    setIfInside(*inputs.kvCacheUpdateMask(), i + 1, 1);
    if (output.cache->alignmentWeights) {
        updateAlignmentWeights(*inputs.alignmentWeights(), *output.cache->alignmentWeights, i);
        hasAlignment_ = true;
    }
}

// The progress so far goes to the callback on the decoder's progress thread;
// its timings hold this step's model and cache times but not yet its loop.
void TextDecoder::WindowDecoding::reportProgress(std::int64_t i) {
    std::vector<std::int64_t> textTokens = currentTokens_;
    if (options_.skipSpecialTokens)
        std::erase_if(textTokens, [&](std::int64_t t) { return t >= special_->specialTokenBegin; });
    const float sum = std::accumulate(logProbs_.begin(), logProbs_.end(), 0.0f);
    TranscriptionProgress progress(totals_, tokenizer_->decode(textTokens), currentTokens_,
                                   std::nullopt, sum / static_cast<float>(logProbs_.size()),
                                   TextUtilities::compressionRatio(currentTokens_), 0);
    const bool promptStep = i < promptLength_ - 1;
    decoder_.progressExecutor_->post([callback = callback_, progress = std::move(progress),
                                      promptStep, actor = decoder_.earlyStopActor_,
                                      windowUUID = windowUUID_] {
        const auto verdict = callback(progress);
        if (verdict == false && !promptStep) {
            Logging::debug("Early stopping");
            // A run that has already ended keeps no flag to set.
            actor->setIfPresent(true, windowUUID);
        }
    });
}

DecodingResult TextDecoder::WindowDecoding::finish() {
    if (!stopFlag_->release())
        Logging::error("Early stop flag not found for window: " + windowUUID_.string());

    const SamplingResult finalized = sampler_.finalize(currentTokens_, logProbs_);
    const auto& allTokens = finalized.tokens;
    const auto firstOf = [&](std::int64_t token, std::size_t from) {
        return static_cast<std::size_t>(
            std::find(allTokens.begin() + static_cast<std::ptrdiff_t>(from), allTokens.end(),
                      token) -
            allTokens.begin());
    };
    std::size_t start = firstOf(special_->startOfTranscriptToken, 0);
    if (start == allTokens.size()) start = 0;
    // The end of text is looked for from the start of transcript on; a list
    // without one is kept to its end.
    const std::size_t stop = std::min(firstOf(special_->endToken, start) + 1, allTokens.size());

    DecodingResult result;
    result.tokens.assign(allTokens.begin() + static_cast<std::ptrdiff_t>(start),
                         allTokens.begin() + static_cast<std::ptrdiff_t>(stop));
    std::vector<float> logProbs;
    for (std::size_t k = start; k < stop; ++k)
        logProbs.push_back(k < finalized.logProbs.size() ? finalized.logProbs[k] : 0.0f);
    result.avgLogProb = logProbs.empty() ? 0.0f
                                         : std::accumulate(logProbs.begin(), logProbs.end(), 0.0f) /
                                               static_cast<float>(logProbs.size());
    for (std::size_t k = 0; k < result.tokens.size(); ++k)
        result.tokenLogProbs.push_back({{result.tokens[k], logProbs[k]}});
    std::vector<std::int64_t> textTokens = result.tokens;
    std::erase_if(textTokens, [&](std::int64_t t) { return t >= special_->specialTokenBegin; });
    result.compressionRatio = TextUtilities::compressionRatio(textTokens);
    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler_))
        result.temperature = vortil::rounded(static_cast<float>(greedy->temperature), 3);
    else
        result.temperature = options_.temperature;
    setLanguage(result, logProbs);
    result.text = tokenizer_->decode(result.tokens);
    Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = 0.0f;
    result.fallback = DecodingFallback::fromOptions(options_, isFirstTokenLogProbTooLow_, 0.0f,
                                                    result.compressionRatio, result.avgLogProb);
    if (inputs_)
        result.cache = DecodingCache{inputs_->keyCache(), inputs_->valueCache(),
                                     hasAlignment_ ? inputs_->alignmentWeights() : nullptr};
    result.timings = totals_;
    return result;
}

// The language asked for, else the first language token of the window, else English.
void TextDecoder::WindowDecoding::setLanguage(DecodingResult& result,
                                              const std::vector<float>& logProbs) const {
    if (options_.language) {
        result.language = *options_.language;
        result.languageProbs = {{*options_.language, 0.0f}};
        return;
    }
    result.language = "en";
    result.languageProbs = {{"en", 0.0f}};
    const auto& languageTokens = tokenizer_->allLanguageTokens();
    for (std::size_t k = 0; k < result.tokens.size(); ++k)
        if (languageTokens.contains(result.tokens[k])) {
            result.language =
                trimmingSpecialTokenCharacters(tokenizer_->decode({result.tokens[k]}));
            result.languageProbs = {{result.language, logProbs[k]}};
            return;
        }
}

DecodingResult TextDecoder::decodeText(const Array& encoderOutput,
                                       const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                       TokenSampling& sampler, const DecodingOptions& options,
                                       const TranscriptionCallback& callback) {
    WindowDecoding window(*this, encoderOutput, decoderInputs, sampler, options, callback);
    for (std::int64_t i = 0; i < window.stepCount(); ++i)
        if (!window.step(i)) break;
    return window.finish();
}

void TextDecoder::drainProgressCallbacks() {
    progressExecutor_->call([] {});
}

}  // namespace auralith
