#include "auralith/core/DecodingOptions.hpp"

#include <nlohmann/json.hpp>
#include <utility>

#include "auralith/utilities/JSONCodingErrors.hpp"
#include "auralith/utilities/JSONValues.hpp"
#include "auralith/utilities/SeekClips.hpp"

namespace auralith {

namespace jv = json_values;
using Json = nlohmann::ordered_json;

std::string_view description(DecodingTask task) {
    return task == DecodingTask::translate ? "translate" : "transcribe";
}

std::string_view rawValue(ChunkingStrategy strategy) {
    return strategy == ChunkingStrategy::vad ? "vad" : "none";
}

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view rawValue) {
    if (rawValue == "none") return ChunkingStrategy::none;
    if (rawValue == "vad") return ChunkingStrategy::vad;
    return std::nullopt;
}

DecodingOptions::DecodingOptions(Arguments a)
    : verbose(a.verbose),
      task(a.task),
      language(std::move(a.language)),
      temperature(a.temperature),
      temperatureIncrementOnFallback(a.temperatureIncrementOnFallback),
      temperatureFallbackCount(a.temperatureFallbackCount),
      sampleLength(a.sampleLength),
      topK(a.topK),
      usePrefillPrompt(a.usePrefillPrompt),
      detectLanguage(a.detectLanguage.value_or(!a.usePrefillPrompt)),
      skipSpecialTokens(a.skipSpecialTokens),
      withoutTimestamps(a.withoutTimestamps),
      wordTimestamps(a.wordTimestamps),
      maxInitialTimestamp(a.maxInitialTimestamp),
      maxWindowSeek(a.maxWindowSeek),
      clipTimestamps(std::move(a.clipTimestamps)),
      windowClipTime(a.windowClipTime),
      promptTokens(std::move(a.promptTokens)),
      prefixTokens(std::move(a.prefixTokens)),
      suppressBlank(a.suppressBlank),
      suppressTokens(a.suppressTokens ? std::move(*a.suppressTokens) : std::vector<std::int64_t>{}),
      compressionRatioThreshold(a.compressionRatioThreshold),
      logProbThreshold(a.logProbThreshold),
      firstTokenLogProbThreshold(a.firstTokenLogProbThreshold),
      noSpeechThreshold(a.noSpeechThreshold),
      concurrentWorkerCount(a.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(a.chunkingStrategy) {}

DecodingOptions DecodingOptions::defaultSet() { return DecodingOptions(Arguments{}); }

std::vector<std::pair<std::int64_t, std::int64_t>> DecodingOptions::prepareSeekClips(
    std::int64_t contentFrames) const {
    return auralith::prepareSeekClips(clipTimestamps, contentFrames);
}

namespace {

Json encodeTask(DecodingTask task) {
    Json out = Json::object();
    out[std::string(description(task))] = Json::object();
    return out;
}

// The task is an object with exactly one key naming the case; other keys are
// ignored, and the value under the case's key must be an (ignored) object.
DecodingTask decodeTask(const Json& value) {
    jv::requireObject(value, "task");
    std::optional<DecodingTask> found;
    int caseKeys = 0;
    for (DecodingTask task : allDecodingTasks) {
        auto it = value.find(std::string(description(task)));
        if (it == value.end()) continue;
        ++caseKeys;
        found = task;
    }
    if (caseKeys != 1)
        throw DecodingError(DecodingError::Kind::typeMismatch, "task",
                            "Invalid number of keys found, expected one.");
    const std::string key(description(*found));
    jv::requireObject(value.at(key), "task." + key);
    return *found;
}

ChunkingStrategy decodeChunkingStrategy(const Json& value, std::string_view path) {
    const std::string text = jv::readString(value, path);
    auto strategy = chunkingStrategyFromRawValue(text);
    if (!strategy)
        throw DecodingError(DecodingError::Kind::dataCorrupted, std::string(path),
                            "Cannot initialize ChunkingStrategy from invalid String value " + text);
    return *strategy;
}

Json int64Array(const std::vector<std::int64_t>& values) { return Json(values); }

}  // namespace

Json DecodingOptions::toJSON() const {
    Json j = Json::object();
    j["verbose"] = verbose;
    j["task"] = encodeTask(task);
    if (language) j["language"] = *language;
    j["temperature"] = jv::floatNumber(temperature, "temperature");
    j["temperatureIncrementOnFallback"] =
        jv::floatNumber(temperatureIncrementOnFallback, "temperatureIncrementOnFallback");
    j["temperatureFallbackCount"] = temperatureFallbackCount;
    j["sampleLength"] = sampleLength;
    j["topK"] = topK;
    j["usePrefillPrompt"] = usePrefillPrompt;
    j["detectLanguage"] = detectLanguage;
    j["skipSpecialTokens"] = skipSpecialTokens;
    j["withoutTimestamps"] = withoutTimestamps;
    j["wordTimestamps"] = wordTimestamps;
    if (maxInitialTimestamp)
        j["maxInitialTimestamp"] = jv::floatNumber(*maxInitialTimestamp, "maxInitialTimestamp");
    if (maxWindowSeek) j["maxWindowSeek"] = *maxWindowSeek;
    j["clipTimestamps"] = jv::floatArray(clipTimestamps, "clipTimestamps");
    j["windowClipTime"] = jv::floatNumber(windowClipTime, "windowClipTime");
    if (promptTokens) j["promptTokens"] = int64Array(*promptTokens);
    if (prefixTokens) j["prefixTokens"] = int64Array(*prefixTokens);
    j["suppressBlank"] = suppressBlank;
    j["suppressTokens"] = int64Array(suppressTokens);
    if (compressionRatioThreshold)
        j["compressionRatioThreshold"] =
            jv::floatNumber(*compressionRatioThreshold, "compressionRatioThreshold");
    if (logProbThreshold)
        j["logProbThreshold"] = jv::floatNumber(*logProbThreshold, "logProbThreshold");
    if (firstTokenLogProbThreshold)
        j["firstTokenLogProbThreshold"] =
            jv::floatNumber(*firstTokenLogProbThreshold, "firstTokenLogProbThreshold");
    if (noSpeechThreshold)
        j["noSpeechThreshold"] = jv::floatNumber(*noSpeechThreshold, "noSpeechThreshold");
    j["concurrentWorkerCount"] = concurrentWorkerCount;
    if (chunkingStrategy) j["chunkingStrategy"] = std::string(rawValue(*chunkingStrategy));
    return j;
}

DecodingOptions DecodingOptions::fromJSON(const Json& j) {
    jv::requireObject(j, "");
    // Every argument is given, so the constructor stores them all unchanged.
    Arguments a;
    a.verbose = jv::requiredMember(j, "verbose", jv::readBool);
    a.task = decodeTask(jv::required(j, "task"));
    a.language = jv::optionalMember(j, "language", jv::readString);
    a.temperature = jv::requiredMember(j, "temperature", jv::readFloat);
    a.temperatureIncrementOnFallback =
        jv::requiredMember(j, "temperatureIncrementOnFallback", jv::readFloat);
    a.temperatureFallbackCount = jv::requiredMember(j, "temperatureFallbackCount", jv::readInt64);
    a.sampleLength = jv::requiredMember(j, "sampleLength", jv::readInt64);
    a.topK = jv::requiredMember(j, "topK", jv::readInt64);
    a.usePrefillPrompt = jv::requiredMember(j, "usePrefillPrompt", jv::readBool);
    a.detectLanguage = jv::requiredMember(j, "detectLanguage", jv::readBool);
    a.skipSpecialTokens = jv::requiredMember(j, "skipSpecialTokens", jv::readBool);
    a.withoutTimestamps = jv::requiredMember(j, "withoutTimestamps", jv::readBool);
    a.wordTimestamps = jv::requiredMember(j, "wordTimestamps", jv::readBool);
    a.maxInitialTimestamp = jv::optionalMember(j, "maxInitialTimestamp", jv::readFloat);
    a.maxWindowSeek = jv::optionalMember(j, "maxWindowSeek", jv::readInt64);
    a.clipTimestamps = jv::requiredMember(j, "clipTimestamps", jv::readFloatArray);
    a.windowClipTime = jv::requiredMember(j, "windowClipTime", jv::readFloat);
    a.promptTokens = jv::optionalMember(j, "promptTokens", jv::readInt64Array);
    a.prefixTokens = jv::optionalMember(j, "prefixTokens", jv::readInt64Array);
    a.suppressBlank = jv::requiredMember(j, "suppressBlank", jv::readBool);
    a.suppressTokens = jv::requiredMember(j, "suppressTokens", jv::readInt64Array);
    a.compressionRatioThreshold = jv::optionalMember(j, "compressionRatioThreshold", jv::readFloat);
    a.logProbThreshold = jv::optionalMember(j, "logProbThreshold", jv::readFloat);
    a.firstTokenLogProbThreshold =
        jv::optionalMember(j, "firstTokenLogProbThreshold", jv::readFloat);
    a.noSpeechThreshold = jv::optionalMember(j, "noSpeechThreshold", jv::readFloat);
    a.concurrentWorkerCount = jv::requiredMember(j, "concurrentWorkerCount", jv::readInt64);
    a.chunkingStrategy = jv::optionalMember(j, "chunkingStrategy", decodeChunkingStrategy);
    return DecodingOptions(std::move(a));
}

}  // namespace auralith
