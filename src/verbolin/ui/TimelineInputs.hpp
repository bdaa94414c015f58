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

    // The user changed a paragraph's text: the paragraph as these inputs
    // hold it, its text as shown before and after, and the caret's offset
    // in it afterwards when the caret is there.
    std::function<void(const Block&, const std::string& before, const std::string& after,
                       std::optional<int> caret)>
        onEdit;
    // Ctrl+Z, Ctrl+Shift+Z and the menu's Undo and Redo: the history is the
    // window's, by paragraph; the text keeps none.
    std::function<void()> onUndo, onRedo;
    std::function<bool()> canUndo, canRedo;
    // A key or paste the text refused, with why, for the status bar.
    std::function<void(const std::string& why)> onRefused;
    // Whether the transcript, not only this view, still holds paragraph
    // `id`: one a search hides is kept by the caret, one gone is not.
    std::function<bool(const Uuid& id)> inTranscript;
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
    // Where the caret goes once the text shows this: an offset in the
    // paragraph `id`; acted on once per new `token`, and only when that
    // paragraph is shown.
    struct Caret {
        std::optional<Uuid> id;
        int offset = 0;
        long token = 0;
    } caret;

    // `blocks`, then `liveBlock`.
    TimelineBlocks paragraphs() const { return {blocks.get(), liveBlock ? &*liveBlock : nullptr}; }
};

}  // namespace verbolin
