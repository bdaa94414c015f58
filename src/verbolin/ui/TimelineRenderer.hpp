#pragma once
// Turns paragraphs into the one attributed text the timeline shows and edits:
// each paragraph is a run carrying its id, neighbours are divided by a "\n"
// separator run, and the space above a paragraph shows how much time passed.
// A paragraph without text is no characters at all: an empty line.

#include <QString>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/AttributedText.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin::TimelineRenderer {

constexpr double kLineSpacingFactor = 0.12;
constexpr double kParagraphFactor = 0.6;
constexpr double kSectionFactor = 2.4;
constexpr double kLongGap = 300.0;  // seconds

// `previous` is the paragraph directly before blocks[0] in the timeline; when
// given, the result starts with a separator so it can be appended behind it.
AttributedText render(std::span<const Block> blocks, const Block* previous, double fontSize,
                      const std::unordered_set<platform::Uuid>& sectionStarts);

TextAttributes bodyAttributes(double fontSize, const platform::Uuid& blockId, double spacingBefore);
// A paragraph's text with `first` (its body attributes): lines after a line
// break inside it get no space above. One too long to show whole shows its
// start and a line saying so.
AttributedText body(const QString& text, TextAttributes first);
// The same for text the user put in: whole, whatever its length, since the
// window already shows all of it.
AttributedText lines(const QString& text, TextAttributes first);
// The separator in front of the paragraph `opens`, which has the space
// `spacingBefore` above it.
TextAttributes separatorAttributes(double fontSize, const platform::Uuid& opens,
                                   double spacingBefore);

// `text`, rendered at `from`, as rendering at `to` sets the same characters:
// every size, line spacing and space above taken to the new size. None where
// a run holds a size or a space above that rendering at `from` never gives.
// The text keeps its break marks where they are, which after keys typed into
// a long paragraph are not where a new rendering would put them: a text size
// changes the look of what is held, never its characters, so that it can
// take the new size a part at a time.
std::optional<AttributedText> resized(const AttributedText& text, double from, double to);

// "5 min later", "1 h later", "1 h 30 min later"; minutes truncate.
std::string gapText(double seconds);

// The range as plain text: each separator between two paragraphs reads as
// one blank line, one at either end of the range as nothing, and every
// character of a paragraph in the range is kept, white space included. The
// notice under a paragraph shown in part, and the breaks put into it, are
// left out.
QString plainText(const AttributedText& text, int pos, int len);

}  // namespace verbolin::TimelineRenderer
