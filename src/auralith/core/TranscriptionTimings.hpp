#pragma once
// The performance counters of one transcription run. Durations are seconds,
// the total... fields are counts held as doubles, and pipelineStart and
// firstTokenTime are absolute times in seconds on one clock.

#include <array>
#include <nlohmann/json_fwd.hpp>
#include <utility>

namespace auralith {

struct TranscriptionTimings {
    double pipelineStart;
    double firstTokenTime;
    double inputAudioSeconds;
    double modelLoading;
    double prewarmLoadTime;
    double encoderLoadTime;
    double decoderLoadTime;
    double encoderSpecializationTime;
    double decoderSpecializationTime;
    double tokenizerLoadTime;
    double audioLoading;
    double audioProcessing;
    double logmels;
    double encoding;
    double decodingInit;
    double decodingLoop;
    double decodingPredictions;
    double decodingFiltering;
    double decodingSampling;
    double decodingFallback;
    double decodingWindowing;
    double decodingKvCaching;
    double decodingWordTimestamps;
    double decodingNonPrediction;
    double totalAudioProcessingRuns;
    double totalLogmelRuns;
    double totalEncodingRuns;
    double totalDecodingLoops;
    double totalKVUpdateRuns;
    double totalTimestampAlignmentRuns;
    double totalDecodingFallbacks;
    double totalDecodingWindows;
    double fullPipeline;

    // pipelineStart and firstTokenTime the greatest finite double,
    // inputAudioSeconds 0.001, everything else 0.
    TranscriptionTimings();

    // Every field but the first three, in field order; those three get their
    // defaults. decodingTimestampAlignment sets decodingWordTimestamps.
    TranscriptionTimings(double modelLoading, double prewarmLoadTime, double encoderLoadTime,
                         double decoderLoadTime, double encoderSpecializationTime,
                         double decoderSpecializationTime, double tokenizerLoadTime,
                         double audioLoading, double audioProcessing, double logmels,
                         double encoding, double decodingInit, double decodingLoop,
                         double decodingPredictions, double decodingFiltering,
                         double decodingSampling, double decodingFallback, double decodingWindowing,
                         double decodingKvCaching, double decodingTimestampAlignment,
                         double decodingNonPrediction, double totalAudioProcessingRuns,
                         double totalLogmelRuns, double totalEncodingRuns,
                         double totalDecodingLoops, double totalKVUpdateRuns,
                         double totalTimestampAlignmentRuns, double totalDecodingFallbacks,
                         double totalDecodingWindows, double fullPipeline);

    // Plain divisions: a zero divisor gives an infinity or NaN.
    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    // The 33 fields with their JSON keys, in field order.
    static const std::array<std::pair<const char*, double TranscriptionTimings::*>, 33>& fields();

    friend bool operator==(const TranscriptionTimings&, const TranscriptionTimings&) = default;
};

// All 33 keys are written, in field order, and all are required on input;
// nothing is filled in by default. Non-finite values are refused.
void to_json(nlohmann::json& out, const TranscriptionTimings& value);
void to_json(nlohmann::ordered_json& out, const TranscriptionTimings& value);
void from_json(const nlohmann::json& in, TranscriptionTimings& value);
void from_json(const nlohmann::ordered_json& in, TranscriptionTimings& value);

}  // namespace auralith
