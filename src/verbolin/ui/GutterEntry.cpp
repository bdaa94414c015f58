#include "verbolin/ui/GutterEntry.hpp"

#include <algorithm>

#include "platform/system/Date.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"

namespace verbolin::Gutter {

double labelFontSize(double fontSize) { return std::clamp(fontSize * 0.45, 11.0, 13.0); }
double dividerFontSize(double fontSize) { return std::clamp(fontSize * 0.5, 10.0, 12.0); }

std::unordered_map<QString, GutterEntry> entries(
    const std::vector<Block>& blocks, const std::function<std::string(const Block&)>& label,
    const std::unordered_map<platform::Uuid, std::string>& sectionStarts) {
    std::unordered_map<QString, GutterEntry> out;
    out.reserve(blocks.size());
    entries(out, blocks, label, sectionStarts, 0);
    return out;
}

void entries(std::unordered_map<QString, GutterEntry>& out, const std::vector<Block>& blocks,
             const std::function<std::string(const Block&)>& label,
             const std::unordered_map<platform::Uuid, std::string>& sectionStarts, size_t from) {
    for (size_t i = from; i < blocks.size(); ++i) {
        const Block& b = blocks[i];
        GutterEntry e;
        e.label = label ? label(b) : std::string();
        e.edited = std::any_of(b.segments.begin(), b.segments.end(),
                               [](const Segment& s) { return s.edited; });
        if (i > 0) {
            double gap = platform::secondsBetween(blocks[i - 1].segments.back().end,
                                                  b.segments.front().start);
            if (gap >= TimelineRenderer::kLongGap) e.divider = TimelineRenderer::gapText(gap);
            if (auto it = sectionStarts.find(b.id); it != sectionStarts.end())
                e.divider = it->second;
        }
        out.insert_or_assign(QString::fromStdString(b.id.string()), std::move(e));
    }
}

}  // namespace verbolin::Gutter
