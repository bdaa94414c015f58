#include "auralith/core/TranscriptionTimings.hpp"

#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "auralith/utilities/JSONValues.hpp"

namespace auralith {

using Timings = TranscriptionTimings;

TranscriptionTimings::TranscriptionTimings()
    : TranscriptionTimings(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0) {}

TranscriptionTimings::TranscriptionTimings(
    double modelLoading, double prewarmLoadTime, double encoderLoadTime, double decoderLoadTime,
    double encoderSpecializationTime, double decoderSpecializationTime, double tokenizerLoadTime,
    double audioLoading, double audioProcessing, double logmels, double encoding,
    double decodingInit, double decodingLoop, double decodingPredictions, double decodingFiltering,
    double decodingSampling, double decodingFallback, double decodingWindowing,
    double decodingKvCaching, double decodingTimestampAlignment, double decodingNonPrediction,
    double totalAudioProcessingRuns, double totalLogmelRuns, double totalEncodingRuns,
    double totalDecodingLoops, double totalKVUpdateRuns, double totalTimestampAlignmentRuns,
    double totalDecodingFallbacks, double totalDecodingWindows, double fullPipeline)
    : pipelineStart(std::numeric_limits<double>::max()),
      firstTokenTime(std::numeric_limits<double>::max()),
      inputAudioSeconds(0.001),
      modelLoading(modelLoading),
      prewarmLoadTime(prewarmLoadTime),
      encoderLoadTime(encoderLoadTime),
      decoderLoadTime(decoderLoadTime),
      encoderSpecializationTime(encoderSpecializationTime),
      decoderSpecializationTime(decoderSpecializationTime),
      tokenizerLoadTime(tokenizerLoadTime),
      audioLoading(audioLoading),
      audioProcessing(audioProcessing),
      logmels(logmels),
      encoding(encoding),
      decodingInit(decodingInit),
      decodingLoop(decodingLoop),
      decodingPredictions(decodingPredictions),
      decodingFiltering(decodingFiltering),
      decodingSampling(decodingSampling),
      decodingFallback(decodingFallback),
      decodingWindowing(decodingWindowing),
      decodingKvCaching(decodingKvCaching),
      decodingWordTimestamps(decodingTimestampAlignment),
      decodingNonPrediction(decodingNonPrediction),
      totalAudioProcessingRuns(totalAudioProcessingRuns),
      totalLogmelRuns(totalLogmelRuns),
      totalEncodingRuns(totalEncodingRuns),
      totalDecodingLoops(totalDecodingLoops),
      totalKVUpdateRuns(totalKVUpdateRuns),
      totalTimestampAlignmentRuns(totalTimestampAlignmentRuns),
      totalDecodingFallbacks(totalDecodingFallbacks),
      totalDecodingWindows(totalDecodingWindows),
      fullPipeline(fullPipeline) {}

const std::array<std::pair<const char*, double Timings::*>, 33>& TranscriptionTimings::fields() {
    static const std::array<std::pair<const char*, double Timings::*>, 33> table = {{
        {"pipelineStart", &Timings::pipelineStart},
        {"firstTokenTime", &Timings::firstTokenTime},
        {"inputAudioSeconds", &Timings::inputAudioSeconds},
        {"modelLoading", &Timings::modelLoading},
        {"prewarmLoadTime", &Timings::prewarmLoadTime},
        {"encoderLoadTime", &Timings::encoderLoadTime},
        {"decoderLoadTime", &Timings::decoderLoadTime},
        {"encoderSpecializationTime", &Timings::encoderSpecializationTime},
        {"decoderSpecializationTime", &Timings::decoderSpecializationTime},
        {"tokenizerLoadTime", &Timings::tokenizerLoadTime},
        {"audioLoading", &Timings::audioLoading},
        {"audioProcessing", &Timings::audioProcessing},
        {"logmels", &Timings::logmels},
        {"encoding", &Timings::encoding},
        {"decodingInit", &Timings::decodingInit},
        {"decodingLoop", &Timings::decodingLoop},
        {"decodingPredictions", &Timings::decodingPredictions},
        {"decodingFiltering", &Timings::decodingFiltering},
        {"decodingSampling", &Timings::decodingSampling},
        {"decodingFallback", &Timings::decodingFallback},
        {"decodingWindowing", &Timings::decodingWindowing},
        {"decodingKvCaching", &Timings::decodingKvCaching},
        {"decodingWordTimestamps", &Timings::decodingWordTimestamps},
        {"decodingNonPrediction", &Timings::decodingNonPrediction},
        {"totalAudioProcessingRuns", &Timings::totalAudioProcessingRuns},
        {"totalLogmelRuns", &Timings::totalLogmelRuns},
        {"totalEncodingRuns", &Timings::totalEncodingRuns},
        {"totalDecodingLoops", &Timings::totalDecodingLoops},
        {"totalKVUpdateRuns", &Timings::totalKVUpdateRuns},
        {"totalTimestampAlignmentRuns", &Timings::totalTimestampAlignmentRuns},
        {"totalDecodingFallbacks", &Timings::totalDecodingFallbacks},
        {"totalDecodingWindows", &Timings::totalDecodingWindows},
        {"fullPipeline", &Timings::fullPipeline},
    }};
    return table;
}

namespace {

namespace jv = json_values;
using Json = jv::Json;

Json encode(const Timings& value) {
    Json built = Json::object();
    for (const auto& [key, field] : Timings::fields())
        built[key] = jv::doubleNumber(value.*field, key);
    return built;
}

void decode(const Json& in, Timings& value) {
    jv::requireObject(in, "");
    Timings decoded;
    for (const auto& [key, field] : Timings::fields())
        decoded.*field = jv::requiredMember(in, key, jv::readDouble);
    value = decoded;
}

}  // namespace

void to_json(nlohmann::json& out, const Timings& value) { out = nlohmann::json(encode(value)); }
void to_json(nlohmann::ordered_json& out, const Timings& value) { out = encode(value); }
void from_json(const nlohmann::json& in, Timings& value) { decode(Json(in), value); }
void from_json(const nlohmann::ordered_json& in, Timings& value) { decode(in, value); }

}  // namespace auralith
