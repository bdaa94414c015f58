#include "auralith/core/TranscriptionResult.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "auralith/core/TranscriptionResultStruct.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"
#include "auralith/utilities/JSONValues.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

namespace {

// "%.Nf" as in the C locale, whatever the process locale, except that NaN
// prints as "nan" whatever its sign bit.
std::string fixed(double value, int places) {
    if (std::isnan(value)) return "nan";
    char buffer[512];
    auto end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, places).ptr;
    return std::string(buffer, end);
}

namespace jv = json_values;
using Json = jv::Json;

// The record with each member read and checked; a missing "seekTime" key is
// an error, a null one means absent.
TranscriptionResultStruct decodeMembers(const Json& in) {
    jv::requireObject(in, "");
    if (in.find("seekTime") == in.end())
        throw DecodingError(DecodingError::Kind::keyNotFound, "seekTime",
                            "No value associated with key \"seekTime\".");
    return in.get<TranscriptionResultStruct>();
}

}  // namespace

TranscriptionResult::TranscriptionResult(std::string text,
                                         std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

TranscriptionResult::TranscriptionResult(const nlohmann::json& in)
    : TranscriptionResult(Json(in)) {}

TranscriptionResult::TranscriptionResult(const nlohmann::ordered_json& in)
    : TranscriptionResult(std::string(), {}, std::string(), TranscriptionTimings()) {
    auto decoded = decodeMembers(in);
    text_.set(std::move(decoded.text));
    segments_.set(std::move(decoded.segments));
    language_.set(std::move(decoded.language));
    timings_.set(decoded.timings);
    seekTime_.set(decoded.seekTime);
}

std::string TranscriptionResult::text() const { return text_.get(); }
void TranscriptionResult::setText(std::string value) { text_.set(std::move(value)); }
void TranscriptionResult::modifyText(const std::function<void(std::string&)>& change) {
    text_.modify(change);
}

std::vector<TranscriptionSegment> TranscriptionResult::segments() const { return segments_.get(); }
void TranscriptionResult::setSegments(std::vector<TranscriptionSegment> value) {
    segments_.set(std::move(value));
}
void TranscriptionResult::modifySegments(
    const std::function<void(std::vector<TranscriptionSegment>&)>& change) {
    segments_.modify(change);
}

std::string TranscriptionResult::language() const { return language_.get(); }
void TranscriptionResult::setLanguage(std::string value) { language_.set(std::move(value)); }
void TranscriptionResult::modifyLanguage(const std::function<void(std::string&)>& change) {
    language_.modify(change);
}

TranscriptionTimings TranscriptionResult::timings() const { return timings_.get(); }
void TranscriptionResult::setTimings(TranscriptionTimings value) { timings_.set(value); }
void TranscriptionResult::modifyTimings(const std::function<void(TranscriptionTimings&)>& change) {
    timings_.modify(change);
}

std::optional<float> TranscriptionResult::seekTime() const { return seekTime_.get(); }
void TranscriptionResult::setSeekTime(std::optional<float> value) { seekTime_.set(value); }
void TranscriptionResult::modifySeekTime(const std::function<void(std::optional<float>&)>& change) {
    seekTime_.modify(change);
}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> words;
    for (const auto& segment : segments()) {
        if (segment.words) words.insert(words.end(), segment.words->begin(), segment.words->end());
    }
    return words;
}

void TranscriptionResult::logSegments() const {
    const auto all = segments();
    for (size_t i = 0; i < all.size(); ++i) {
        vortil::Logging::debug("[Segment " + std::to_string(i) + "] [" + fixed(all[i].start, 2) +
                               " --> " + fixed(all[i].end, 2) + "] " + all[i].text);
    }
}

void TranscriptionResult::logTimings() const { vortil::Logging::info(timingsReport()); }

std::string TranscriptionResult::timingsReport() const {
    const TranscriptionTimings t = timings();
    const auto all = segments();
    const double total = std::max(t.fullPipeline, t.decodingLoop) * 1000;
    auto row = [total](const char* label, double time, double runs) {
        return label + vortil::Logging::formatTimeWithPercentage(time, runs, total);
    };

    std::string report;
    report += row("---- Transcription Timings ----\nAudio Load:          ", t.audioLoading, 1);
    report += row("\nAudio Processing:    ", t.audioProcessing, t.totalAudioProcessingRuns);
    report += row("\nMels:                ", t.logmels, t.totalLogmelRuns);
    report += row("\nEncoding:            ", t.encoding, t.totalEncodingRuns);
    report += row("\nMatrices Init:       ", t.decodingInit, 1);
    report += row("\nDecoding:            ", t.decodingPredictions, t.totalDecodingLoops);
    report += row("\nNon-inference:       ", t.decodingNonPrediction, t.totalDecodingLoops);
    report += row("\n- Logit Filtering:   ", t.decodingFiltering, t.totalDecodingLoops);
    report += row("\n- Sampling:          ", t.decodingSampling, t.totalDecodingLoops);
    report += row("\n- Kv Caching:        ", t.decodingKvCaching, t.totalKVUpdateRuns);
    report +=
        row("\n- Word Timestamps:   ", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    report += row("\n- Windowing:         ", t.decodingWindowing - t.decodingWordTimestamps,
                  t.totalDecodingWindows);
    report += row("\nFallbacks:           ", t.decodingFallback, t.totalDecodingFallbacks);
    report += row("\nDecoding Full Loop:  ", t.decodingLoop, t.totalDecodingLoops);

    size_t totalTokens = 0;
    for (const auto& segment : all) totalTokens += segment.tokens.size();
    const double realTimeFactor = t.fullPipeline / t.inputAudioSeconds;

    report += "\n-------------------------------\nModel Load Time:               " +
              fixed(t.modelLoading, 2);
    report += " seconds\n- Prewarm:                     " + fixed(t.prewarmLoadTime, 2);
    report += " seconds\n- Encoder:                     " + fixed(t.encoderLoadTime, 2);
    report += " seconds\n- Decoder:                     " + fixed(t.decoderLoadTime, 2);
    report += " seconds\n- Tokenizer:                   " + fixed(t.tokenizerLoadTime, 2);
    report += " seconds\nInference Duration (Global):   " + fixed(t.fullPipeline, 2);
    report += " seconds\n- Decoding Loop (Avg/window):  " +
              fixed(t.decodingLoop / t.totalAudioProcessingRuns, 2);
    report += " seconds\n- Audio Windows:               " + fixed(t.totalAudioProcessingRuns, 2);
    report += "\nTime to first token:           " + fixed(t.firstTokenTime - t.pipelineStart, 2);
    report += " seconds\nTotal Tokens:                  " + std::to_string(totalTokens);
    report += "\nTokens per Second:             " + fixed(t.totalDecodingLoops / t.fullPipeline, 2);
    report += " tok/s\nReal Time Factor:              " + fixed(realTimeFactor, 3);
    report += "\nSpeed Factor:                  " + fixed(1 / realTimeFactor, 3);
    report += "\nFallbacks:                     " +
              vortil::Logging::describeDouble(t.totalDecodingFallbacks);
    return report;
}

void TranscriptionResult::encode(nlohmann::ordered_json& out) const {
    // Each property is copied under its own lock and written as the bare value.
    // Built aside so that a refused value leaves nothing half-built in `out`.
    auto built = nlohmann::ordered_json::object();
    built["text"] = text();
    built["segments"] = segments();
    built["language"] = language();
    built["timings"] = timings();
    const auto seek = seekTime();
    built["seekTime"] = seek ? jv::floatNumber(*seek, "seekTime") : Json(nullptr);
    out = std::move(built);
}

void to_json(nlohmann::ordered_json& out, const TranscriptionResult& value) { value.encode(out); }

void to_json(nlohmann::json& out, const TranscriptionResult& value) {
    nlohmann::ordered_json ordered;
    value.encode(ordered);
    out = nlohmann::json(ordered);
}

}  // namespace auralith
