#include "verbolin/ui/GutterEntry.hpp"

#include <algorithm>

#include "platform/system/Date.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"

namespace verbolin::Gutter {

double labelFontSize(double fontSize) { return std::clamp(fontSize * 0.45, 11.0, 13.0); }
double dividerFontSize(double fontSize) { return std::clamp(fontSize * 0.5, 10.0, 12.0); }

GutterEntry entry(const TimelineBlocks& blocks, size_t i,
                  const std::function<std::string(const Block&)>& label,
                  const std::unordered_map<platform::Uuid, std::string>& sectionStarts) {
    const Block& b = blocks[i];
    GutterEntry e;
    e.label = label ? label(b) : std::string();
    e.edited = std::any_of(b.segments.begin(), b.segments.end(),
                           [](const Segment& s) { return s.edited; });
    if (i > 0) {
        double gap =
            platform::secondsBetween(blocks[i - 1].segments.back().end, b.segments.front().start);
        if (gap >= TimelineRenderer::kLongGap) e.divider = TimelineRenderer::gapText(gap);
        if (auto it = sectionStarts.find(b.id); it != sectionStarts.end()) e.divider = it->second;
    }
    return e;
}

std::unordered_map<QString, GutterEntry> entries(
    const TimelineBlocks& blocks, const std::function<std::string(const Block&)>& label,
    const std::unordered_map<platform::Uuid, std::string>& sectionStarts) {
    std::unordered_map<QString, GutterEntry> out;
    out.reserve(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i)
        out.insert_or_assign(QString::fromStdString(blocks[i].id.string()),
                             entry(blocks, i, label, sectionStarts));
    return out;
}

}  // namespace verbolin::Gutter
