#include "verbolin/storage/RecordDecodingError.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

namespace verbolin::json_fields {

const nlohmann::json& required(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) throw RecordDecodingError("expected an object");
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        throw RecordDecodingError(std::string("missing member \"") + key + "\"");
    return *it;
}

std::string requiredString(const nlohmann::json& object, const char* key) {
    const auto& v = required(object, key);
    if (!v.is_string())
        throw RecordDecodingError(std::string("member \"") + key + "\" is not a string");
    return v.get<std::string>();
}

platform::Uuid requiredUuid(const nlohmann::json& object, const char* key) {
    auto text = requiredString(object, key);
    auto id = platform::Uuid::parse(text);
    if (!id) throw RecordDecodingError(std::string("member \"") + key + "\" is not a UUID");
    return *id;
}

platform::Date requiredDate(const nlohmann::json& object, const char* key) {
    const auto& v = required(object, key);
    if (!v.is_string())
        throw RecordDecodingError(std::string("member \"") + key + "\" is not a date text");
    auto date = platform::parseISO8601(v.get_ref<const std::string&>());
    if (!date)
        throw RecordDecodingError(std::string("member \"") + key + "\" is not an ISO 8601 date");
    return *date;
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) throw RecordDecodingError("expected an object");
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string())
        throw RecordDecodingError(std::string("member \"") + key + "\" is not a string");
    return it->get<std::string>();
}

std::optional<bool> optionalBool(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) throw RecordDecodingError("expected an object");
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_boolean())
        throw RecordDecodingError(std::string("member \"") + key + "\" is not a boolean");
    return it->get<bool>();
}

std::string encodeDate(platform::Date date) {
    using namespace std::chrono;
    // Dates that went through a double (the database keeps seconds as REAL)
    // sit a few nanoseconds off their millisecond; round, do not cut.
    auto rounded = time_point_cast<platform::Date::duration>(round<milliseconds>(date));
    if (rounded == floor<seconds>(rounded)) return platform::formatISO8601(rounded);
    return platform::formatISO8601Milliseconds(rounded);
}

}  // namespace verbolin::json_fields
