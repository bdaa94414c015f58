#include "verbolin/storage/LegacyNote.hpp"

#include <nlohmann/json.hpp>

#include "verbolin/storage/RecordDecodingError.hpp"

namespace verbolin {

namespace {

template <class Json>
void encode(Json& j, const LegacyNote& note) {
    j = Json::object();
    j["createdAt"] = json_fields::encodeDate(note.createdAt);
    j["text"] = note.text;
}

}  // namespace

void to_json(nlohmann::json& j, const LegacyNote& note) { encode(j, note); }
void to_json(nlohmann::ordered_json& j, const LegacyNote& note) { encode(j, note); }

void from_json(const nlohmann::json& j, LegacyNote& note) {
    LegacyNote out;
    out.createdAt = json_fields::requiredDate(j, "createdAt");
    out.text = json_fields::requiredString(j, "text");
    note = std::move(out);
}

}  // namespace verbolin
