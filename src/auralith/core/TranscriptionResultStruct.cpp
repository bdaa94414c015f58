#include "auralith/core/TranscriptionResultStruct.hpp"

#include <utility>

#include "auralith/utilities/JSONNumber.hpp"

namespace auralith {

TranscriptionResultStruct::TranscriptionResultStruct(std::string text, std::vector<TranscriptionSegment> segments,
                                                     std::string language, TranscriptionTimings timings,
                                                     std::optional<float> seekTime)
    : text(std::move(text)),
      segments(std::move(segments)),
      language(std::move(language)),
      timings(timings),
      seekTime(seekTime) {}

namespace {

template <class Json>
void encode(Json& out, const TranscriptionResultStruct& value) {
    // Built aside and moved in at the end: a refused value must not leave a
    // half-built object in `out` (the JSON library leaks it when this runs
    // inside its converting constructor).
    Json built = Json::object();
    built["text"] = value.text;
    built["segments"] = value.segments;
    built["language"] = value.language;
    built["timings"] = value.timings;
    if (value.seekTime) built["seekTime"] = json::number(*value.seekTime);
    out = std::move(built);
}

template <class Json>
void decode(const Json& in, TranscriptionResultStruct& value) {
    value.text = in.at("text").template get<std::string>();
    value.segments = in.at("segments").template get<std::vector<TranscriptionSegment>>();
    value.language = in.at("language").template get<std::string>();
    value.timings = in.at("timings").template get<TranscriptionTimings>();
    auto seekTime = in.find("seekTime");
    if (seekTime == in.end() || seekTime->is_null()) {
        value.seekTime.reset();
    } else {
        value.seekTime = json::readFloat(*seekTime);
    }
}

}  // namespace

void to_json(nlohmann::json& out, const TranscriptionResultStruct& value) { encode(out, value); }
void to_json(nlohmann::ordered_json& out, const TranscriptionResultStruct& value) { encode(out, value); }
void from_json(const nlohmann::json& in, TranscriptionResultStruct& value) { decode(in, value); }
void from_json(const nlohmann::ordered_json& in, TranscriptionResultStruct& value) { decode(in, value); }

}  // namespace auralith
