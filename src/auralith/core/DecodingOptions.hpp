#pragma once
// Every setting of one transcription: task, language, temperature schedule,
// sample length, top-K, prompt and prefix tokens, timestamp behaviour, seek
// clips, suppression, the four quality thresholds, the number of concurrent
// workers and the chunking strategy. A plain value that every stage reads and
// none keeps.
//
// The type stores no defaults of its own. Options are built from an
// Arguments record, whose member initializers are the one default set that
// every caller starts from; the constructor then fills in only three values
// that were left absent (see Arguments).

#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace auralith {

enum class DecodingTask { transcribe, translate };

inline constexpr std::array<DecodingTask, 2> allDecodingTasks = {DecodingTask::transcribe,
                                                                 DecodingTask::translate};

// "transcribe" or "translate".
std::string_view description(DecodingTask task);
inline std::ostream& operator<<(std::ostream& os, DecodingTask task) {
    return os << description(task);
}

enum class ChunkingStrategy { none, vad };

inline constexpr std::array<ChunkingStrategy, 2> allChunkingStrategies = {ChunkingStrategy::none,
                                                                          ChunkingStrategy::vad};

// "none" or "vad".
std::string_view rawValue(ChunkingStrategy strategy);
// Case-sensitive; nothing for any other text.
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view rawValue);

struct DecodingOptions {
    // The initializer's arguments, one per field in field order. The member
    // initializers are the default set; three arguments may be left absent:
    // - detectLanguage absent becomes !usePrefillPrompt (a prefilled prompt
    //   fixes the language, so no detection runs);
    // - suppressTokens absent becomes empty;
    // - concurrentWorkerCount absent becomes 16.
    // Every member has an initializer, so designated initializers may name
    // only what differs from the default set:
    //   DecodingOptions({.language = "en", .withoutTimestamps = true})
    struct Arguments {
        bool verbose = false;
        DecodingTask task = DecodingTask::transcribe;
        std::optional<std::string> language = std::nullopt;
        float temperature = 0.0f;
        float temperatureIncrementOnFallback = 0.2f;
        std::int64_t temperatureFallbackCount = 5;
        std::int64_t sampleLength = 224;  // Constants::maxTokenContext
        std::int64_t topK = 5;
        bool usePrefillPrompt = true;
        std::optional<bool> detectLanguage = std::nullopt;
        bool skipSpecialTokens = false;
        bool withoutTimestamps = false;
        bool wordTimestamps = false;
        std::optional<float> maxInitialTimestamp = std::nullopt;
        std::optional<std::int64_t> maxWindowSeek = std::nullopt;
        std::vector<float> clipTimestamps{};
        float windowClipTime = 1.0f;
        std::optional<std::vector<std::int64_t>> promptTokens = std::nullopt;
        std::optional<std::vector<std::int64_t>> prefixTokens = std::nullopt;
        bool suppressBlank = false;
        std::optional<std::vector<std::int64_t>> suppressTokens = std::nullopt;
        std::optional<float> compressionRatioThreshold = 2.4f;
        std::optional<float> logProbThreshold = -1.0f;
        std::optional<float> firstTokenLogProbThreshold = -1.5f;
        std::optional<float> noSpeechThreshold = 0.6f;
        std::optional<std::int64_t> concurrentWorkerCount = std::nullopt;
        std::optional<ChunkingStrategy> chunkingStrategy = std::nullopt;
    };

    explicit DecodingOptions(Arguments arguments);

    // The default set: DecodingOptions(Arguments{}).
    static DecodingOptions defaultSet();

    bool verbose;
    DecodingTask task;
    std::optional<std::string> language;
    float temperature;
    float temperatureIncrementOnFallback;
    std::int64_t temperatureFallbackCount;
    std::int64_t sampleLength;
    std::int64_t topK;
    bool usePrefillPrompt;
    bool detectLanguage;
    bool skipSpecialTokens;
    bool withoutTimestamps;
    bool wordTimestamps;
    std::optional<float> maxInitialTimestamp;
    std::optional<std::int64_t> maxWindowSeek;
    std::vector<float> clipTimestamps;  // seconds: start, end, start, end, ...
    float windowClipTime;
    std::optional<std::vector<std::int64_t>> promptTokens;
    std::optional<std::vector<std::int64_t>> prefixTokens;
    bool suppressBlank;
    std::vector<std::int64_t> suppressTokens;
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::optional<float> firstTokenLogProbThreshold;
    std::optional<float> noSpeechThreshold;
    std::int64_t concurrentWorkerCount;
    std::optional<ChunkingStrategy> chunkingStrategy;

    // The JSON object keyed by the field names, in field order. The 17 plain
    // fields are always written, the 10 optional ones only when present.
    // Throws EncodingError for a non-finite float.
    nlohmann::ordered_json toJSON() const;

    // Reads that object back. All 17 plain keys are required (the three
    // initializer rules do not apply here; values are taken as they are); the
    // optional ones may be missing or null. Throws DecodingError.
    static DecodingOptions fromJSON(const nlohmann::ordered_json& json);

    // clipTimestamps as (start, end) ranges of sample indices; see
    // auralith::prepareSeekClips.
    std::vector<std::pair<std::int64_t, std::int64_t>> prepareSeekClips(
        std::int64_t contentFrames) const;

    bool operator==(const DecodingOptions&) const = default;
};

}  // namespace auralith
