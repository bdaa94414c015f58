#pragma once
// Where each paragraph lies in the timeline text, read from the paragraph-id
// attribute. All positions are UTF-16 units.

#include <QString>
#include <optional>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/ui/AttributedText.hpp"

namespace verbolin {

// What an empty paragraph shows: one character to carry its id, so that it
// keeps its line, its time and the caret, and text typed there joins it.
// It is known by its `standIn` attribute alone: the user's own text may
// hold the same character, and keeps it.
constexpr char16_t kStandInCharacter = u'\u200B';
// The stand-in of an empty paragraph with these attributes.
AttributedText standIn(TextAttributes attributes);

struct ParagraphRange {
    QString id;
    int location = 0;
    int length = 0;
    int end() const { return location + length; }
    friend bool operator==(const ParagraphRange&, const ParagraphRange&) = default;
};

// Runs of one id that touch are merged; runs without an id are skipped.
std::vector<ParagraphRange> blockRanges(const AttributedText& text);
// Extends `ranges` (which end at or before `offset`) with those of `tail`
// placed at `offset`, as if the whole text had been walked.
void appendBlockRanges(std::vector<ParagraphRange>& ranges, const AttributedText& tail, int offset);

// The paragraph's text in `text`, without the stand-in an empty one shows.
QString paragraphText(const AttributedText& text, const ParagraphRange& range);

// The id of the character at `index`, else of the one before it.
std::optional<QString> blockIdAt(const AttributedText& text, int index);

// Paragraphs a selection names: those sharing a character with a non-empty
// range, or, for a caret, those whose range holds it with both ends included.
// Ids that are not UUIDs are left out.
std::vector<platform::Uuid> selectedIds(const std::vector<ParagraphRange>& ranges, int location,
                                        int length);

// The index of the first range that ends after `position` (binary search).
size_t firstRangeEndingAfter(const std::vector<ParagraphRange>& ranges, int position);

}  // namespace verbolin
