#include "platform/system/NumberText.hpp"

#include <charconv>
#include <cmath>

namespace platform {
namespace {

template <class F>
std::string describe(F value, F exponentialAbove) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char sci[64];
    auto sciEnd = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    std::string scientific(sci, sciEnd);
    int exponent = 0;
    auto e = scientific.find('e');
    std::from_chars(scientific.data() + e + 1 + (scientific[e + 1] == '+'),
                    scientific.data() + scientific.size(), exponent);
    if (value != 0 && (exponent < -4 || std::fabs(value) > exponentialAbove)) return scientific;
    char fix[512];
    auto fixEnd = std::to_chars(fix, fix + sizeof fix, value, std::chars_format::fixed).ptr;
    std::string fixed(fix, fixEnd);
    if (fixed.find('.') == std::string::npos) fixed += ".0";
    return fixed;
}

}  // namespace

std::string numberText(double value) { return describe(value, 0x1p54); }
std::string numberText(float value) { return describe(value, 0x1p25f); }

}  // namespace platform
