#include "verbolin/ui/ParagraphText.hpp"

#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

std::string paragraphText(const std::vector<Segment>& segments) {
    std::string out;
    for (const auto& block : TranscriptStore::blocks(segments, TranscriptStore::paragraphGap)) {
        if (!out.empty()) out += "\n\n";
        out += block.text();
    }
    return out;
}

}  // namespace verbolin
