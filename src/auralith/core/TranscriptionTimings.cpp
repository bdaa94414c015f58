#include "auralith/core/TranscriptionTimings.hpp"

#include <limits>
#include <utility>

#include "auralith/utilities/JSONNumber.hpp"

namespace auralith {

using Timings = TranscriptionTimings;

TranscriptionTimings::TranscriptionTimings()
    : TranscriptionTimings(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0) {}

TranscriptionTimings::TranscriptionTimings(
    double modelLoading, double prewarmLoadTime, double encoderLoadTime, double decoderLoadTime,
    double encoderSpecializationTime, double decoderSpecializationTime, double tokenizerLoadTime,
    double audioLoading, double audioProcessing, double logmels, double encoding, double decodingInit,
    double decodingLoop, double decodingPredictions, double decodingFiltering, double decodingSampling,
    double decodingFallback, double decodingWindowing, double decodingKvCaching,
    double decodingTimestampAlignment, double decodingNonPrediction, double totalAudioProcessingRuns,
    double totalLogmelRuns, double totalEncodingRuns, double totalDecodingLoops, double totalKVUpdateRuns,
    double totalTimestampAlignmentRuns, double totalDecodingFallbacks, double totalDecodingWindows,
    double fullPipeline)
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

template <class Json>
void encode(Json& out, const Timings& value) {
    // Built aside and moved in at the end: a refused value must not leave a
    // half-built object in `out` (the JSON library leaks it when this runs
    // inside its converting constructor).
    Json built = Json::object();
    for (const auto& [key, field] : Timings::fields()) built[key] = json::number(value.*field);
    out = std::move(built);
}

template <class Json>
void decode(const Json& in, Timings& value) {
    Timings decoded;
    for (const auto& [key, field] : Timings::fields()) decoded.*field = json::readDouble(in.at(key));
    value = decoded;
}

}  // namespace

void to_json(nlohmann::json& out, const Timings& value) { encode(out, value); }
void to_json(nlohmann::ordered_json& out, const Timings& value) { encode(out, value); }
void from_json(const nlohmann::json& in, Timings& value) { decode(in, value); }
void from_json(const nlohmann::ordered_json& in, Timings& value) { decode(in, value); }

}  // namespace auralith
