#pragma once
// Floating-point values in the data model's JSON forms. A 32-bit float is
// written as the shortest decimal that reads back to the same float (0.2f as
// 0.2, not as its widened double), and a non-finite value is refused with an
// exception instead of being written as null, which could not be read back.
// Reading goes through JSONValues, the one reader every record uses.

namespace auralith::json {

// The double to put into the JSON value. Throws std::domain_error for NaN and
// infinities.
double number(float value);
double number(double value);

}  // namespace auralith::json
