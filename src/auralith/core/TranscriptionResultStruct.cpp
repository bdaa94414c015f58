#include "auralith/core/TranscriptionResultStruct.hpp"

#include <nlohmann/json.hpp>
#include <utility>

#include "auralith/utilities/JSONValues.hpp"

namespace auralith {

TranscriptionResultStruct::TranscriptionResultStruct(std::string text,
                                                     std::vector<TranscriptionSegment> segments,
                                                     std::string language,
                                                     TranscriptionTimings timings,
                                                     std::optional<float> seekTime)
    : text(std::move(text)),
      segments(std::move(segments)),
      language(std::move(language)),
      timings(timings),
      seekTime(seekTime) {}

namespace {

namespace jv = json_values;
using Json = jv::Json;

Json encode(const TranscriptionResultStruct& value) {
    Json built = Json::object();
    built["text"] = value.text;
    built["segments"] = value.segments;
    built["language"] = value.language;
    built["timings"] = value.timings;
    if (value.seekTime) built["seekTime"] = jv::floatNumber(*value.seekTime, "seekTime");
    return built;
}

void decode(const Json& in, TranscriptionResultStruct& value) {
    jv::requireObject(in, "");
    TranscriptionResultStruct decoded;
    decoded.text = jv::requiredMember(in, "text", jv::readString);
    decoded.segments = jv::requiredMember(in, "segments", [](const Json& j, std::string_view path) {
        return jv::readArray(j, path, jv::readRecord<TranscriptionSegment>);
    });
    decoded.language = jv::requiredMember(in, "language", jv::readString);
    decoded.timings = jv::requiredMember(in, "timings", jv::readRecord<TranscriptionTimings>);
    decoded.seekTime = jv::optionalMember(in, "seekTime", jv::readFloat);
    value = std::move(decoded);
}

}  // namespace

void to_json(nlohmann::json& out, const TranscriptionResultStruct& value) {
    out = nlohmann::json(encode(value));
}
void to_json(nlohmann::ordered_json& out, const TranscriptionResultStruct& value) {
    out = encode(value);
}
void from_json(const nlohmann::json& in, TranscriptionResultStruct& value) {
    decode(Json(in), value);
}
void from_json(const nlohmann::ordered_json& in, TranscriptionResultStruct& value) {
    decode(in, value);
}

}  // namespace auralith
