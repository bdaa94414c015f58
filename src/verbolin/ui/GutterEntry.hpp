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
#include "verbolin/ui/TimelineBlocks.hpp"

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

// The entry of blocks[index]. A long pause, or a session title in its place,
// divides a paragraph from the one before; never the first one.
GutterEntry entry(const TimelineBlocks& blocks, size_t index,
                  const std::function<std::string(const Block&)>& label,
                  const std::unordered_map<platform::Uuid, std::string>& sectionStarts);
// One entry per paragraph, by id text.
std::unordered_map<QString, GutterEntry> entries(
    const TimelineBlocks& blocks, const std::function<std::string(const Block&)>& label,
    const std::unordered_map<platform::Uuid, std::string>& sectionStarts);

}  // namespace Gutter
}  // namespace verbolin
