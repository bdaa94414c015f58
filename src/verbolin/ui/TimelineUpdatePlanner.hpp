#pragma once
// The decisions of a timeline update, apart from any widget: whether the text
// must change, from where, and which paragraphs a visible range shows.

#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/ParagraphKey.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"
#include "verbolin/ui/TimelineBlocks.hpp"

namespace verbolin {

struct TimelinePlan {
    enum class Kind { none, tail, full } kind = Kind::none;
    size_t common = 0;       // leading paragraphs that are unchanged (tail)
    size_t kept = 0;         // trailing ones, after those (tail)
    bool prepended = false;  // older paragraphs came in front (full)
    bool styleChanged = false;
};

struct VisibleParagraphs {
    std::optional<platform::Uuid> first;
    std::optional<platform::Uuid> last;
    friend bool operator==(const VisibleParagraphs&, const VisibleParagraphs&) = default;
};

namespace TimelineUpdatePlanner {

// The keys of blocks[from...].
std::vector<ParagraphKey> paragraphKeys(const TimelineBlocks& blocks, size_t from = 0);
inline std::vector<ParagraphKey> paragraphKeys(const std::vector<Block>& blocks, size_t from = 0) {
    return paragraphKeys(TimelineBlocks(blocks), from);
}

// How many leading paragraphs `newer` shares with `older`: the same array
// shares all of them, and paragraphs the store carried over from one array
// to the next share their segments. Takes the store's record of an array it
// extended, and otherwise compares identities, never texts: a year of
// unchanged paragraphs costs a pointer comparison each.
size_t sharedPrefix(const std::shared_ptr<const std::vector<Block>>& older,
                    const std::shared_ptr<const std::vector<Block>>& newer);

// Compares the rendered keys with the paragraphs in place, so that an
// unchanged prefix costs no text building. The first `known` paragraphs are
// known to match their keys and are not compared again.
TimelinePlan plan(const std::vector<ParagraphKey>& renderedKeys, const TimelineBlocks& blocks,
                  double renderedFont, double font, bool renderedEditable, bool editable,
                  size_t known = 0);
inline TimelinePlan plan(const std::vector<ParagraphKey>& renderedKeys,
                         const std::vector<Block>& blocks, double renderedFont, double font,
                         bool renderedEditable, bool editable) {
    return plan(renderedKeys, TimelineBlocks(blocks), renderedFont, font, renderedEditable,
                editable);
}

// Where the tail from keys[index] starts: at the separator in front of that
// paragraph, at 0 for the first one, or at `textLength` when it is not shown.
// Paragraph ids are unique in the text, and ranges[index - hidden] is looked
// at first: the first `hidden` keys are not in the text, which then starts
// with the separator in front of keys[hidden]. `leadingSeparator`: the text
// starts with the separator in front of keys[0] too (paragraphs before it
// are not held).
int tailStart(const std::vector<ParagraphRange>& ranges, int textLength,
              const std::vector<ParagraphKey>& keys, size_t index, size_t hidden = 0,
              bool leadingSeparator = false);

// The first and last paragraphs in the visible character range; when only
// the space between paragraphs shows, both name the one above it.
VisibleParagraphs visibleWalk(const std::vector<ParagraphRange>& ranges, int location, int length);

}  // namespace TimelineUpdatePlanner
}  // namespace verbolin
