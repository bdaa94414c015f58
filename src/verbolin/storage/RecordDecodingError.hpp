#pragma once
// Raised when a JSON record lacks a required member or holds one of the wrong
// type. Callers that read files of records decide whether that skips a line
// or a whole file.

#include <nlohmann/json_fwd.hpp>
#include <stdexcept>
#include <string>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"

namespace verbolin {

class RecordDecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Member readers shared by the record types. A required member must be
// present and of the right type; an optional one may also be absent or null.
namespace json_fields {

const nlohmann::json& required(const nlohmann::json& object, const char* key);
std::string requiredString(const nlohmann::json& object, const char* key);
platform::Uuid requiredUuid(const nlohmann::json& object, const char* key);
platform::Date requiredDate(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
std::optional<bool> optionalBool(const nlohmann::json& object, const char* key);

// ISO 8601 in UTC; fractions of a second are written only when present, so
// whole-second dates look exactly as older files wrote them.
std::string encodeDate(platform::Date date);

}  // namespace json_fields
}  // namespace verbolin
