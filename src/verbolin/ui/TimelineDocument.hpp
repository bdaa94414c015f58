#pragma once
// Writes the timeline's attributed text into a QTextDocument. Every "\n" of
// the text becomes a block boundary, which QTextDocument counts as one
// position, so positions in the two agree one for one. Only this direction
// exists: the timeline reads attributes from its own text, never from Qt.

#include <QPalette>
#include <QTextDocument>
#include <QTextFormat>

#include "verbolin/ui/AttributedText.hpp"

namespace verbolin::TimelineDocument {

// `text` already holds the change: the document's [start, start + removed)
// becomes text[start, start + inserted). Block formats of the blocks the
// change touches follow the text's paragraph styles.
void write(QTextDocument& doc, const AttributedText& text, int start, int removed, int inserted,
           const QPalette& palette);

// The whole text, replacing the document's content.
void writeAll(QTextDocument& doc, const AttributedText& text, const QPalette& palette);

// Gives [start, end) of the document the formats `text` has there (the
// same characters), laid out once.
void restyle(QTextDocument& doc, const AttributedText& text, int start, int end,
             const QPalette& palette);

// The document's characters in [pos, pos + len), block boundaries as "\n".
QString characters(const QTextDocument& doc, int pos, int len);

// Re-applies the block formats of the blocks holding [start, end].
void applyBlockFormats(QTextDocument& doc, const AttributedText& text, int start, int end);

// Gives the document's characters in [start, end) the look the text gives
// them, where they have another: text Qt put in itself (a key, an input
// method, a paste) takes the format of the character before it, which at an
// empty paragraph is its separator's or none.
void applyCharFormats(QTextDocument& doc, const AttributedText& text, int start, int end,
                      const QPalette& palette);

}  // namespace verbolin::TimelineDocument
