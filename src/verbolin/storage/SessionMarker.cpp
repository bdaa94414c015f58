#include "verbolin/storage/SessionMarker.hpp"

#include <nlohmann/json.hpp>

#include "verbolin/storage/Hashing.hpp"
#include "verbolin/storage/RecordDecodingError.hpp"

namespace verbolin {

namespace {

template <class Json>
void encode(Json& j, const SessionMarker& m) {
    j = Json::object();
    j["id"] = m.id.string();
    j["start"] = json_fields::encodeDate(m.start);
    if (m.name) j["name"] = *m.name;
}

}  // namespace

void to_json(nlohmann::json& j, const SessionMarker& m) { encode(j, m); }
void to_json(nlohmann::ordered_json& j, const SessionMarker& m) { encode(j, m); }

void from_json(const nlohmann::json& j, SessionMarker& m) {
    SessionMarker out;
    out.id = json_fields::requiredUuid(j, "id");
    out.start = json_fields::requiredDate(j, "start");
    out.name = json_fields::optionalString(j, "name");
    m = std::move(out);
}

}  // namespace verbolin

size_t std::hash<verbolin::SessionMarker>::operator()(
    const verbolin::SessionMarker& m) const noexcept {
    return verbolin::HashBuilder()
        .add(m.id)
        .add(m.start.time_since_epoch().count())
        .add(m.name)
        .value();
}
