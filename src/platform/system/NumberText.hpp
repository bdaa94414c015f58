#pragma once
// Numbers as the application's texts show them: the shortest digits that read
// back to the same value, whole values with a trailing ".0" ("2.0",
// "1714521600.0"), and exponent form ("1e-05", "3.4028235e+38") for very small
// or very large magnitudes; "nan", "inf" and "-inf" for the rest.

#include <string>

namespace platform {

std::string numberText(double value);  // exponent form above 2^54
std::string numberText(float value);   // exponent form above 2^25

}  // namespace platform
