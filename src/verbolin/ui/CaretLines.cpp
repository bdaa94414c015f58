#include "verbolin/ui/CaretLines.hpp"

#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace verbolin::CaretLines {

namespace {

// The block's lines: Qt lays a block out only once something asks for it.
const QTextLayout* laidOut(const QTextBlock& block) {
    if (block.layout()->lineCount() == 0)
        if (QAbstractTextDocumentLayout* layout = block.document()->documentLayout())
            layout->blockBoundingRect(block);
    return block.layout();
}

// The next block shown above (below) `block`, or an invalid one.
QTextBlock shownBeside(QTextBlock block, bool up) {
    do block = up ? block.previous() : block.next();
    while (block.isValid() && !block.isVisible());
    return block;
}

}  // namespace

bool step(QTextCursor& cursor, bool up, QTextCursor::MoveMode mode) {
    QTextBlock block = cursor.block();
    const QTextLayout* layout = laidOut(block);
    const int at = cursor.position() - block.position();
    // The line the caret is drawn on: at a line's end that is the next one's
    // start, the next one.
    const QTextLine line = layout->lineForTextPosition(at);
    if (!line.isValid()) return cursor.movePosition(up ? QTextCursor::Up : QTextCursor::Down, mode);
    int x = cursor.verticalMovementX();
    if (x < 0) x = int(std::lround(line.cursorToX(at)));
    int target = line.lineNumber() + (up ? -1 : 1);
    if (target < 0 || target >= layout->lineCount()) {
        block = shownBeside(block, up);
        if (!block.isValid()) return false;
        layout = laidOut(block);
        if (layout->lineCount() == 0) return false;
        target = up ? layout->lineCount() - 1 : 0;
    }
    const QTextLine to = layout->lineAt(target);
    int position = to.xToCursor(x);
    // The end of a line that is not its block's last is drawn on the next
    // line: the caret goes a character in instead, where it is seen.
    if (target + 1 < layout->lineCount() && position >= to.textStart() + to.textLength())
        position = std::max(layout->previousCursorPosition(position), to.textStart());
    cursor.setPosition(block.position() + position, mode);
    // The column stays the one the caret had before the first step.
    cursor.setVerticalMovementX(x);
    return true;
}

}  // namespace verbolin::CaretLines
