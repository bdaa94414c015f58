#include "auralith/utilities/JSONNumber.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

namespace auralith::json {

namespace {

void requireFinite(double value) {
    if (!std::isfinite(value)) {
        throw std::domain_error("Unable to encode " +
                                std::string(std::isnan(value) ? "nan" : "inf") +
                                " directly in JSON");
    }
}

}  // namespace

double number(float value) {
    requireFinite(value);
    char text[64];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    // The double read from the float's shortest text prints the same way.
    // from_chars, unlike strtod, ignores the process locale.
    double widened = 0;
    std::from_chars(text, end, widened);
    return widened;
}

double number(double value) {
    requireFinite(value);
    return value;
}

}  // namespace auralith::json
