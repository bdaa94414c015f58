#pragma once
// What the timeline pane hands the timeline text view on every update.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/SectionTitles.hpp"
#include "verbolin/ui/TimelineBlocks.hpp"

namespace verbolin {

struct TimelineInputs {
    using Uuid = platform::Uuid;

    std::shared_ptr<const std::vector<Block>> blocks;  // oldest first; null reads as none
    bool editable = true;
    double fontSize = 26;
    std::function<std::string(const Block&)> label;  // the gutter's time label
    SectionTitles sectionStarts;                     // session title by first paragraph
    // The paragraph of the utterance being heard. It is not in the store, so
    // nothing may be typed into it.
    std::optional<Uuid> liveId;
    // Shown after `blocks` (with `liveId` as its id), so that the scoped
    // paragraphs are shared rather than copied for each preview.
    std::optional<Block> liveBlock;

    std::function<void(const Block&, const std::string&)> onEdit;
    // The paragraph the transcript holds now under an id, if any, and a way
    // to put one back as it was (none: remove it), for undo and redo. Edits
    // made without both cannot be undone.
    std::function<std::optional<Block>(const Uuid&)> paragraph;
    std::function<void(const Uuid&, const std::optional<Block>&)> onRestore;
    std::function<void()> onScrolledToTop;
    std::function<void(std::pair<int, int>, const std::vector<Uuid>&)>
        onSelection;  // (location, length)
    std::function<void(std::optional<Uuid>, std::optional<Uuid>, bool)> onVisible;
    std::function<void()> onUserInteraction;
    std::function<void()> onDeleteSelection;
    std::function<void(const Uuid&)> onCopyBlock;

    struct Jump {
        std::optional<Uuid> id;
        long token = 0;
    } jump;

    // `blocks`, then `liveBlock`.
    TimelineBlocks paragraphs() const { return {blocks.get(), liveBlock ? &*liveBlock : nullptr}; }
};

}  // namespace verbolin
