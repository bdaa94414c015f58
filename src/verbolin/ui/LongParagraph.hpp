#pragma once
// A paragraph too long to lay out in reasonable time (a paste or an import of
// megabytes) is shown in part: its start, then a line saying so and how to
// copy it whole. Both are marked in the text's attributes, so that no key
// changes the paragraph, and no edit is read from what is shown of it: the
// transcript keeps it as it is.

#include <QString>
#include <cstddef>
#include <span>

#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/AttributedText.hpp"
#include "verbolin/ui/ParagraphKey.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin::LongParagraph {

// UTF-16 units. Laying out one paragraph grows much faster than its length:
// this much takes a fraction of a second, megabytes took hours.
constexpr int kLimit = 200'000;
// UTF-16 units of such a paragraph's start that are shown. Far fewer than
// kLimit: Qt's text layout places no line lower than 8,388,607 px (below
// that every line lands on the same place, and a later relayout there may
// never end), and a few dozen starts of kLimit units at the largest size
// would pass it.
constexpr int kShown = 10'000;
// Units of the shown start between break opportunities at most.
constexpr int kUnbrokenRun = 200;
// Qt lays out a block of its document whole on every change in it, in time
// that grows with its length: a key at the end of 150,000 units took a
// fifth of a second of layout, several times over. A paragraph longer than
// kPartFrom is therefore laid out in parts of about kPart units, each a
// block of the document: a line break of the view's own (a break mark, never
// the paragraph's text), put after a sentence's end where one comes soon,
// else at a space or a break opportunity put in. Its line ends early there,
// once every few thousand characters; a shorter paragraph never has one.
constexpr int kPartFrom = 16'000;
constexpr int kPart = 4'000;
// How far past kPart a part may run to end at a sentence's end.
constexpr int kPartSlack = 1'000;
// Units of text given a new size in one turn after a font change, after
// what is on screen: a part, or a few short paragraphs (a step takes whole
// blocks of the document). Each is laid out at once, and at the largest
// size a part of ideographs not set at that size before takes a tenth of a
// second of loading glyphs; all of a long paragraph in one turn took most
// of a second.
constexpr size_t kStepUnits = kPart;

// The line that follows the shown start; %1 is the paragraph's length.
constexpr const char* kNotice =
    "\u2026 This paragraph is too long to show whole (%1 characters): only its start is "
    "shown, and it cannot be edited here. Click its time to copy it whole.";
constexpr const char* kRefusal =
    "This paragraph is too long to be edited here: click its time to copy it whole.";

// UTF-16 units below which no paragraph is laid out deeper than Qt can place
// a line, at any size and in any column the window has: each character a
// line of its own, in the deepest font, stays above it.
constexpr int kDeepFrom = 20'000;

// Whether `text`, shown whole at the largest size in the narrowest column
// the window has, would take more of the depth at which Qt can still place
// a line than the view may hold: it is shown in part, as a longer one is.
// Set by the view, which counts depths (this module sits below it); main
// thread only.
inline bool (*tooDeep)(const QString& text) = nullptr;

inline bool tooLong(const QString& text) {
    return text.size() > kLimit || (text.size() >= kDeepFrom && tooDeep && tooDeep(text));
}

// Where the shown start ends: at most kShown, never inside a surrogate pair,
// and, where a few steps back find one, not in front of a mark or joiner
// that belongs to the character before it.
int cutAt(const QString& text);
// What is shown of `text`, a paragraph too long to show whole, with `first`
// (its body attributes): its start, lines after a line break in it with no
// space above, then the notice line. A long stretch without a space gets a
// zero-width break opportunity now and then: wrapping such a stretch costs
// the layout time that grows with the square of its length.
AttributedText shown(const QString& text, TextAttributes first);
// `text` as `part` (a paragraph's attributes) shows it: lines after a line
// break in it with no space above, a zero-width break opportunity, marked
// `mark`, after every kUnbrokenRun units without one, and, in one longer
// than kPartFrom, a line break marked `mark` between its parts.
AttributedText withBreaks(const QString& text, TextAttributes part, CutPart mark);
// Whether `text` is shown with break marks: a long stretch, or parts.
bool hasBreaks(const QString& text);
// Whether `text` holds more than kUnbrokenRun units without a break opportunity.
bool hasLongStretch(const QString& text);
// The notice line, from its line break on, for the paragraph `text`.
AttributedText noticeLine(const QString& text, TextAttributes first);
// The notice for a paragraph of `characters` characters.
QString notice(qsizetype characters);

// Whether replacing [pos, pos + len) touches a paragraph shown in part; a
// caret belongs to the paragraph it is in or ends.
bool touchesCut(const AttributedText& text, int pos, int len);
// Whether the paragraph at `range` is shown in part.
bool isCut(const AttributedText& text, const ParagraphRange& range);

// The key of paragraph `id` among `shown`, which what is shown of it does
// not give back; its text is empty where it is not among them, so that the
// paragraph is rendered anew.
ParagraphKey keyOf(std::span<const ParagraphKey> shown, const platform::Uuid& id);

}  // namespace verbolin::LongParagraph
