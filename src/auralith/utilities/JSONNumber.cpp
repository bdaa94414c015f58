#include "auralith/utilities/JSONNumber.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace auralith::json {

namespace {

void requireFinite(double value) {
    if (!std::isfinite(value)) {
        throw std::domain_error("Unable to encode " + std::string(std::isnan(value) ? "nan" : "inf") +
                                " directly in JSON");
    }
}

}  // namespace

double number(float value) {
    requireFinite(value);
    char text[64];
    auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
    *end = '\0';
    // The double read from the float's shortest text prints the same way.
    return std::strtod(text, nullptr);
}

double number(double value) {
    requireFinite(value);
    return value;
}

}  // namespace auralith::json
