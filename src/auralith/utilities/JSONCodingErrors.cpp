#include "auralith/utilities/JSONCodingErrors.hpp"

#include <utility>

namespace auralith {

namespace {

std::string whatText(std::string_view kind, const std::string& path, const std::string& text) {
    std::string out(kind);
    if (!path.empty()) out += " at \"" + path + "\"";
    out += ": " + text;
    return out;
}

}  // namespace

std::string_view kindName(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::typeMismatch:
            return "typeMismatch";
        case DecodingError::Kind::valueNotFound:
            return "valueNotFound";
        case DecodingError::Kind::keyNotFound:
            return "keyNotFound";
        case DecodingError::Kind::dataCorrupted:
            return "dataCorrupted";
    }
    return "unknown";
}

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string debugDescription)
    : std::runtime_error(whatText(kindName(kind), codingPath, debugDescription)),
      kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {}

EncodingError::EncodingError(std::string codingPath, std::string debugDescription)
    : std::runtime_error(whatText("invalidValue", codingPath, debugDescription)),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {}

}  // namespace auralith
