#pragma once
// The caret moved a line up or down as the text is laid out, keeping the
// column it had. A line broken inside a word (one wider than the column, or
// at an invisible break mark) ends where the next one starts, and a caret
// there is drawn on the next one: Qt's own step up lands there when the
// column falls in the right half of that line's last letter, is drawn on the
// line it started from, and steps to the same place again on every later
// press, so that Up and Page Up stopped for good at such a word.

#include <QTextCursor>

namespace verbolin::CaretLines {

// Moves `cursor` one line up (down), with `mode`, to its column on that line;
// false at the first (last) line, where it stays.
bool step(QTextCursor& cursor, bool up, QTextCursor::MoveMode mode);

}  // namespace verbolin::CaretLines
