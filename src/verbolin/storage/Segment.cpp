#include "verbolin/storage/Segment.hpp"

#include <nlohmann/json.hpp>

#include "verbolin/storage/Hashing.hpp"
#include "verbolin/storage/RecordDecodingError.hpp"

namespace verbolin {

namespace {

template <class Json>
void encode(Json& j, const Segment& s) {
    j = Json::object();
    j["id"] = s.id.string();
    j["start"] = json_fields::encodeDate(s.start);
    j["end"] = json_fields::encodeDate(s.end);
    j["text"] = s.text;
    j["edited"] = s.edited;
    if (s.original) j["original"] = *s.original;
}

}  // namespace

void to_json(nlohmann::json& j, const Segment& s) { encode(j, s); }
void to_json(nlohmann::ordered_json& j, const Segment& s) { encode(j, s); }

void from_json(const nlohmann::json& j, Segment& s) {
    Segment out;
    out.id = json_fields::requiredUuid(j, "id");
    out.start = json_fields::requiredDate(j, "start");
    out.end = json_fields::requiredDate(j, "end");
    out.text = json_fields::requiredString(j, "text");
    out.edited = json_fields::optionalBool(j, "edited").value_or(false);
    out.original = json_fields::optionalString(j, "original");
    s = std::move(out);
}

}  // namespace verbolin

size_t std::hash<verbolin::Segment>::operator()(const verbolin::Segment& s) const noexcept {
    return verbolin::HashBuilder()
        .add(s.id)
        .add(s.start.time_since_epoch().count())
        .add(s.end.time_since_epoch().count())
        .add(s.text)
        .add(s.edited)
        .add(s.original ? std::optional<std::string_view>(*s.original) : std::nullopt)
        .value();
}
