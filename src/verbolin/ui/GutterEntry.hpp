#pragma once
// What the time column shows beside each paragraph, and the column's fixed
// geometry; computed without widgets.

#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"

namespace verbolin {

struct GutterEntry {
    std::string label;
    bool edited = false;
    std::optional<std::string> divider;
    friend bool operator==(const GutterEntry&, const GutterEntry&) = default;
};

namespace Gutter {

constexpr double kColumnWidth = 84;
constexpr double kLabelRight = 70;
constexpr double kMarkLeft = 72;
constexpr double kFlashStart = 0.45;
constexpr double kFlashStep = 0.02;
inline const char* const kEditMark = "\u270E";
inline const char* const kToolTip = "Click a time to copy that paragraph";

double labelFontSize(double fontSize);    // fontSize x 0.45 within [11, 13]
double dividerFontSize(double fontSize);  // fontSize x 0.5 within [10, 12]

// One entry per paragraph, by id text. A long pause, or a session title in
// its place, divides a paragraph from the one before; never the first one.
// With `from`, only blocks[from...] get entries, in `into`.
void entries(std::unordered_map<QString, GutterEntry>& into, const std::vector<Block>& blocks,
             const std::function<std::string(const Block&)>& label,
             const std::unordered_map<platform::Uuid, std::string>& sectionStarts, size_t from = 0);
std::unordered_map<QString, GutterEntry> entries(
    const std::vector<Block>& blocks, const std::function<std::string(const Block&)>& label,
    const std::unordered_map<platform::Uuid, std::string>& sectionStarts);

}  // namespace Gutter
}  // namespace verbolin
