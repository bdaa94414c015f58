#pragma once
// Keeps user edits inside the paragraph structure and maps the edited text
// back to paragraphs.

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/AttributedText.hpp"
#include "verbolin/ui/ParagraphKey.hpp"
#include "verbolin/ui/TimelineBlocks.hpp"

namespace verbolin {

struct ParagraphEdit {
    Block block;
    std::string text;
};

struct EditMapping {
    std::vector<ParagraphKey> keys;  // what the text now shows
    std::vector<ParagraphEdit> edits;
};

namespace TimelineEditMapper {

// Whether replacing [pos, pos + len) may happen. A separator can never be
// deleted or overtyped, so paragraphs are neither merged nor split. Nothing
// may touch the live paragraph (`liveId`): the store does not hold it, and
// text typed there would be dropped at the next preview.
bool shouldChange(const AttributedText& text, int pos, int len,
                  const std::optional<QString>& liveId);

// Text typed outside any paragraph joins the paragraph before it (or after
// it, at the very start), with the body font.
void assignStrayText(AttributedText& text, double fontSize);

// One edit per paragraph whose shown text differs from its stored text.
EditMapping collectEdits(const AttributedText& text, const TimelineBlocks& blocks);

}  // namespace TimelineEditMapper
}  // namespace verbolin
