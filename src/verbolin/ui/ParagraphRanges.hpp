#pragma once
// Where each paragraph lies in the timeline text, read from the paragraph-id
// attribute. All positions are UTF-16 units.

#include <QString>
#include <optional>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/ui/AttributedText.hpp"

namespace verbolin {

struct ParagraphRange {
    QString id;
    int location = 0;
    int length = 0;
    int end() const { return location + length; }
    friend bool operator==(const ParagraphRange&, const ParagraphRange&) = default;
};

// Runs of one id that touch are merged; runs without an id are skipped. A
// paragraph with no characters is the empty range right after the separator
// that opens it. The very first paragraph has no separator in front: when it
// is empty, the view that knows it adds it (nothing in the text names it).
std::vector<ParagraphRange> blockRanges(const AttributedText& text);
// Extends `ranges` (which end at or before `offset`) with those of `tail`
// placed at `offset`, as if the whole text had been walked.
void appendBlockRanges(std::vector<ParagraphRange>& ranges, const AttributedText& tail, int offset);

// The paragraph's text in `text`, without the break opportunities the view
// put into it.
QString paragraphText(const AttributedText& text, const ParagraphRange& range);
// Where `position` of `text` lies in the paragraph's text (held to the
// paragraph), and the position of an offset in it (before a break mark there).
int textOffset(const AttributedText& text, const ParagraphRange& range, int position);
int positionOf(const AttributedText& text, const ParagraphRange& range, int offset);

// The id of the character at `index`, else of the one before it.
std::optional<QString> blockIdAt(const AttributedText& text, int index);

// Paragraphs a selection names: those sharing a character with a non-empty
// range, or, for a caret or an empty paragraph, those whose range and the
// selection meet, both ends included.
// Ids that are not UUIDs are left out.
std::vector<platform::Uuid> selectedIds(const std::vector<ParagraphRange>& ranges, int location,
                                        int length);

// The index of the first range that ends after `position` (binary search).
size_t firstRangeEndingAfter(const std::vector<ParagraphRange>& ranges, int position);
// The paragraph `position` lies in, or ends (both ends included): between
// two separators there is exactly one. Null outside every paragraph.
const ParagraphRange* rangeAt(const std::vector<ParagraphRange>& ranges, int position);

}  // namespace verbolin
