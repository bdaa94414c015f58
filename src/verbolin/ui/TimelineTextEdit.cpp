#include "verbolin/ui/TimelineTextEdit.hpp"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextCursor>
#include <cmath>
#include <utility>

#include "verbolin/ui/CaretLines.hpp"
#include "verbolin/ui/KeyShortcuts.hpp"

namespace verbolin {

namespace {
struct Depth {
    int& d;
    explicit Depth(int& x) : d(x) { ++d; }
    ~Depth() { --d; }
};

struct LineKey {
    bool up = false, page = false;
    QTextCursor::MoveMode mode = QTextCursor::MoveAnchor;
};

std::optional<LineKey> lineKey(const QKeyEvent& e) {
    using Key = QKeySequence;
    constexpr auto move = QTextCursor::MoveAnchor, select = QTextCursor::KeepAnchor;
    static const std::pair<Key::StandardKey, LineKey> keys[] = {
        {Key::MoveToPreviousLine, {true, false, move}},
        {Key::MoveToNextLine, {false, false, move}},
        {Key::SelectPreviousLine, {true, false, select}},
        {Key::SelectNextLine, {false, false, select}},
        {Key::MoveToPreviousPage, {true, true, move}},
        {Key::MoveToNextPage, {false, true, move}},
        {Key::SelectPreviousPage, {true, true, select}},
        {Key::SelectNextPage, {false, true, select}},
    };
    for (const auto& [key, line] : keys)
        if (e.matches(key)) return line;
    return std::nullopt;
}

// Whether a key moves the caret, or an end of the selection, from where it is.
bool movesCaret(const QKeyEvent& e) {
    using K = QKeySequence;
    for (const K::StandardKey k :
         {K::MoveToNextChar, K::MoveToPreviousChar, K::MoveToNextWord, K::MoveToPreviousWord,
          K::MoveToStartOfLine, K::MoveToEndOfLine, K::MoveToStartOfBlock, K::MoveToEndOfBlock,
          K::SelectNextChar, K::SelectPreviousChar, K::SelectNextWord, K::SelectPreviousWord,
          K::SelectStartOfLine, K::SelectEndOfLine, K::SelectStartOfBlock, K::SelectEndOfBlock})
        if (e.matches(k)) return true;
    return lineKey(e).has_value();
}

// Whether a key changes the text at the selection.
bool changesText(const QKeyEvent& e) {
    using K = QKeySequence;
    for (const K::StandardKey k :
         {K::Paste, K::Cut, K::Delete, K::DeleteStartOfWord, K::DeleteEndOfWord, K::DeleteEndOfLine,
          K::DeleteCompleteLine, K::InsertParagraphSeparator, K::InsertLineSeparator})
        if (e.matches(k)) return true;
    if (e.key() == Qt::Key_Backspace || e.key() == Qt::Key_Delete) return true;
    const QString text = e.text();
    return !text.isEmpty() &&
           (text.front().isPrint() || text.front() == u'\t' ||
            text.front().category() == QChar::Other_Format) &&
           !(e.modifiers() & (Qt::ControlModifier | Qt::AltModifier));
}

}  // namespace

TimelineTextEdit::TimelineTextEdit(QWidget* parent) : QTextEdit(parent) {
    setAcceptRichText(false);
    // Undo of the document's own would put text back where the caret is,
    // not in the paragraph it was taken from.
    setUndoRedoEnabled(false);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QTextEdit::WidgetWidth);
    viewport()->setMouseTracking(true);
}

bool TimelineTextEdit::allowedAtSelection() const {
    QTextCursor c = textCursor();
    return allowed(c.selectionStart(), c.selectionEnd() - c.selectionStart());
}

bool TimelineTextEdit::placeTyping() {
    if (allowedAtSelection()) return true;
    QTextCursor c = textCursor();
    const auto target =
        typingTarget ? typingTarget(c.selectionStart(), c.selectionEnd() - c.selectionStart())
                     : std::nullopt;
    if (!target) return false;
    c.setPosition(*target);
    setTextCursor(c);
    return allowedAtSelection();
}

void TimelineTextEdit::resizeEvent(QResizeEvent* e) {
    // An owner told before would see the document still at the width it
    // had, which for a widget never shown is a few pixels: one character a
    // line, laid out far deeper than the owner counted. Before, it may only
    // let go of text, which then is not laid out at the new width at all.
    if (resizing) resizing();
    QTextEdit::resizeEvent(e);
    if (resized) resized();
}

void TimelineTextEdit::keyPressEvent(QKeyEvent* e) {
    if (e->matches(QKeySequence::Copy)) {
        copySelection();
        e->accept();
        return;
    }
    if (isReadOnly()) return QTextEdit::keyPressEvent(e);
    const bool redo = KeyShortcuts::matches(*e, KeyShortcuts::redo());
    if (redo || KeyShortcuts::matches(*e, KeyShortcuts::undo())) {
        if (const auto& act = redo ? onRedo : onUndo) act();
        e->accept();
        return;
    }
    if (selectWhole && e->matches(QKeySequence::SelectAll)) {
        selectWhole();
        e->accept();
        return;
    }
    if (reachEdge) {
        const bool toStart = e->matches(QKeySequence::MoveToStartOfDocument),
                   toEnd = e->matches(QKeySequence::MoveToEndOfDocument),
                   selectStart = e->matches(QKeySequence::SelectStartOfDocument),
                   selectEnd = e->matches(QKeySequence::SelectEndOfDocument);
        if (toStart || toEnd || selectStart || selectEnd) {
            reachEdge(toEnd || selectEnd, selectStart || selectEnd);
            e->accept();
            return;
        }
    }
    // A key that changes the text, or moves the caret from where the user
    // put it, first brings back a caret scrolled out of what is held.
    if (bringCaretIn && (changesText(*e) || movesCaret(*e)) && !bringCaretIn()) {
        e->accept();
        return;
    }
    if (const std::optional<LineKey> line = lineKey(*e)) {
        moveLines(line->up, line->page, line->mode);
        e->accept();
        return;
    }
    QTextCursor c = textCursor();
    if (breakMarkAt && !c.hasSelection() && !(e->modifiers() & Qt::ControlModifier)) {
        const bool back = e->key() == Qt::Key_Backspace;
        if (back || e->matches(QKeySequence::Delete) || e->key() == Qt::Key_Delete) {
            const int end = document()->characterCount() - 1;
            while (back && c.position() > 0 && breakMarkAt(c.position() - 1))
                c.setPosition(c.position() - 1);
            while (!back && c.position() < end && breakMarkAt(c.position()))
                c.setPosition(c.position() + 1);
            setTextCursor(c);
        }
    }
    if (e->key() == Qt::Key_Backspace && (e->modifiers() & Qt::ControlModifier) &&
        deleteSelectionKey && deleteSelectionKey()) {
        e->accept();
        return;
    }
    // The range a key would change, found by making the same move on a copy.
    std::optional<QTextCursor::MoveOperation> move;
    if (e->matches(QKeySequence::DeleteStartOfWord))
        move = QTextCursor::PreviousWord;
    else if (e->matches(QKeySequence::DeleteEndOfWord))
        move = QTextCursor::NextWord;
    else if (e->matches(QKeySequence::DeleteEndOfLine))
        move = QTextCursor::EndOfLine;
    else if (e->matches(QKeySequence::DeleteCompleteLine))
        move = QTextCursor::EndOfLine;
    else if (e->key() == Qt::Key_Backspace)
        move = QTextCursor::PreviousCharacter;
    else if (e->matches(QKeySequence::Delete) || e->key() == Qt::Key_Delete)
        move = QTextCursor::NextCharacter;
    const bool inserts = e->matches(QKeySequence::Paste) ||
                         e->matches(QKeySequence::InsertParagraphSeparator) ||
                         e->matches(QKeySequence::InsertLineSeparator) ||
                         (!e->text().isEmpty() &&
                          (e->text().front().isPrint() || e->text().front() == u'\t' ||
                           e->text().front().category() == QChar::Other_Format) &&
                          !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier)));
    // Typing must never vanish: where it may not go, it goes where the owner
    // sends it, or the key is refused with the text left as it was.
    if (inserts && !move) {
        if (!placeTyping()) {
            refuse(c.selectionStart(), c.selectionEnd() - c.selectionStart());
            e->accept();
        } else if (e->matches(QKeySequence::InsertParagraphSeparator) ||
                   e->matches(QKeySequence::InsertLineSeparator)) {
            // Shift+Return breaks the line as Return does: the editor's own
            // would put U+2028 in, a character rather than a break.
            insertLineBreak();
            e->accept();
        } else {
            QTextEdit::keyPressEvent(e);
        }
        return;
    }
    bool changes = move.has_value() || e->matches(QKeySequence::Cut);
    if (changes) {
        int pos = c.selectionStart(), len = c.selectionEnd() - c.selectionStart();
        if (move && !c.hasSelection()) {
            QTextCursor probe = c;
            if (e->matches(QKeySequence::DeleteCompleteLine))
                probe.movePosition(QTextCursor::StartOfLine);
            probe.movePosition(*move, QTextCursor::KeepAnchor);
            pos = probe.selectionStart();
            len = probe.selectionEnd() - probe.selectionStart();
        }
        if (e->matches(QKeySequence::Cut) && len == 0) changes = false;
        if (changes && !allowed(pos, len)) {
            refuse(pos, len);
            e->accept();
            return;
        }
    }
    const int was = c.position();
    QTextEdit::keyPressEvent(e);
    if (e->matches(QKeySequence::MoveToNextChar) || e->matches(QKeySequence::SelectNextChar) ||
        e->matches(QKeySequence::MoveToPreviousChar) ||
        e->matches(QKeySequence::SelectPreviousChar))
        stepPastBreakMarks(was);
}

void TimelineTextEdit::moveLines(bool up, bool page, QTextCursor::MoveMode mode) {
    if (reachBeyond) reachBeyond(up);
    QTextCursor c = textCursor();
    bool moved = false;
    if (!page) {
        moved = CaretLines::step(c, up, mode);
    } else {
        // As the editor's own page step: lines until a screen's height is
        // passed, back one, and the view a page on.
        double lastY = cursorRect(c).top(), distance = 0;
        do {
            const double y = cursorRect(c).top();
            distance += std::abs(y - lastY);
            lastY = y;
            moved = CaretLines::step(c, up, mode);
        } while (moved && distance < viewport()->height());
        if (moved) {
            CaretLines::step(c, !up, mode);
            verticalScrollBar()->triggerAction(up ? QAbstractSlider::SliderPageStepSub
                                                  : QAbstractSlider::SliderPageStepAdd);
        }
    }
    setTextCursor(c);  // and into view
    // A selection made with the keys is the X primary selection, as the
    // editor's own keys make it.
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (mode == QTextCursor::KeepAnchor && c.hasSelection() && clipboard->supportsSelection())
        clipboard->setMimeData(createMimeDataFromSelection(), QClipboard::Selection);
}

void TimelineTextEdit::stepPastBreakMarks(int was) {
    // A break mark is drawn as nothing: a step that crossed one alone would
    // leave the caret where it was seen, a key that seemed to do nothing.
    if (!breakMarkAt) return;
    QTextCursor c = textCursor();
    const int now = c.position();
    if (now == was) return;
    const bool forward = now > was;
    const auto mode = c.hasSelection() ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor;
    const int end = document()->characterCount() - 1;
    const auto crossedAMark = [&] {
        return forward ? c.position() > 0 && breakMarkAt(c.position() - 1)
                       : c.position() < end && breakMarkAt(c.position());
    };
    for (int at = c.position(); crossedAMark(); at = c.position()) {
        c.movePosition(forward ? QTextCursor::NextCharacter : QTextCursor::PreviousCharacter, mode);
        if (c.position() == at) break;  // the document's end
    }
    setTextCursor(c);
}

void TimelineTextEdit::insertLineBreak() {
    // Not the editor's own Return: on an empty line it only resets the
    // line's formats (ending a list or quote in rich text), and puts no
    // break in, so Return in an emptied paragraph would vanish.
    QTextCursor c = textCursor();
    c.insertBlock(c.blockFormat(), c.charFormat());
    setTextCursor(c);
    ensureCursorVisible();
}

void TimelineTextEdit::inputMethodEvent(QInputMethodEvent* e) {
    // A commit where typing may not go is refused as a key there is, with
    // the reason, never dropped without a word.
    const bool changes = !e->commitString().isEmpty() || e->replacementLength() != 0;
    if (!isReadOnly() && changes && bringCaretIn && !bringCaretIn()) {
        e->accept();
        return;
    }
    if (!isReadOnly() && changes && !placeTyping()) {
        const QTextCursor c = textCursor();
        refuse(c.selectionStart(), c.selectionEnd() - c.selectionStart());
        e->accept();
        return;
    }
    QTextEdit::inputMethodEvent(e);
}

void TimelineTextEdit::insertFromMimeData(const QMimeData* source) {
    // The text first: the X selection of another program is fetched now,
    // while events go on (new speech may rewrite the text meanwhile), and
    // the place it goes is decided only once it is here.
    if (!source->hasText()) return;
    const QString text = source->text();
    if (bringCaretIn && !bringCaretIn()) return;
    if (!placeTyping()) {
        const QTextCursor c = textCursor();
        return refuse(c.selectionStart(), c.selectionEnd() - c.selectionStart());
    }
    if (pasteLong && pasteLong(text)) return;
    // Plain text only: formats from elsewhere never enter the timeline.
    textCursor().insertText(text);
}

bool TimelineTextEdit::canInsertFromMimeData(const QMimeData* source) const {
    return source->hasText();
}

void TimelineTextEdit::copySelection() {
    std::unique_ptr<QMimeData> data(createMimeDataFromSelection());
    // Nothing selected leaves the clipboard as it was, as the editor's own copy does.
    if (!textCursor().hasSelection() && data->text().isEmpty()) return;
    QGuiApplication::clipboard()->setMimeData(data.release());  // Qt owns it
}

void TimelineTextEdit::offerSelection(std::unique_ptr<QMimeData> data) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard->supportsSelection()) return;
    clipboard->setMimeData(data.release(), QClipboard::Selection);  // Qt owns it
}

bool TimelineTextEdit::offersSelection(const QMimeData* data) const {
    QClipboard* clipboard = QGuiApplication::clipboard();
    return data && clipboard->supportsSelection() && clipboard->ownsSelection() &&
           clipboard->mimeData(QClipboard::Selection) == data;
}

QMimeData* TimelineTextEdit::createMimeDataFromSelection() const {
    auto* data = new QMimeData;  // Qt takes ownership
    data->setText(plainSelectedText ? plainSelectedText() : textCursor().selectedText());
    return data;
}

void TimelineTextEdit::contextMenuEvent(QContextMenuEvent* e) {
    // The menu acts on what was pointed at: a right-click outside the
    // selection first moves the caret there, as a left click would, and one
    // inside a selection keeps it. A menu asked for by key acts where the
    // caret is.
    bool atParagraph = true;
    if (e->reason() == QContextMenuEvent::Mouse) {
        const int at = cursorForPosition(e->pos()).position();
        QTextCursor c = textCursor();
        const bool onLines = !pointsAtParagraph || pointsAtParagraph(e->pos());
        // Below the text or above a paragraph the caret lands at an end of
        // one, which was not pointed at: only a point within the selection
        // (the space between two of its paragraphs) still counts as in it.
        const bool inSelection =
            c.hasSelection() && (onLines ? at >= c.selectionStart() && at <= c.selectionEnd()
                                         : at > c.selectionStart() && at < c.selectionEnd());
        atParagraph = onLines || inSelection;
        if (!inSelection) {
            c.setPosition(at);
            setTextCursor(c);
        }
    }
    std::unique_ptr<QMenu> menu(createStandardContextMenu(e->pos()));
    if (prepareMenu) prepareMenu(*menu, atParagraph);
    menu->exec(e->globalPos());
}

void TimelineTextEdit::mousePressEvent(QMouseEvent* e) {
    Depth d(mouseDepth_);
    if (e->button() == Qt::LeftButton && viewportPress && viewportPress(e->position().toPoint())) {
        e->accept();
        return;
    }
    const QPoint at = e->position().toPoint();
    // As the editor itself tells a triple-click.
    const bool triple =
        e->button() == Qt::LeftButton && sinceDoubleClick_.isValid() &&
        sinceDoubleClick_.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
        (at - doubleClickAt_).manhattanLength() < QApplication::startDragDistance();
    sinceDoubleClick_.invalidate();
    if (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier) && extendTo &&
        extendTo(cursorForPosition(at).position())) {
        e->accept();
        return;
    }
    QTextEdit::mousePressEvent(e);
    if (triple && selectParagraphAt) selectParagraphAt(cursorForPosition(at).position());
}

void TimelineTextEdit::mouseDoubleClickEvent(QMouseEvent* e) {
    Depth d(mouseDepth_);
    QTextEdit::mouseDoubleClickEvent(e);
    if (e->button() != Qt::LeftButton) return;
    doubleClickAt_ = e->position().toPoint();
    sinceDoubleClick_.start();
}

void TimelineTextEdit::mouseReleaseEvent(QMouseEvent* e) {
    Depth d(mouseDepth_);
    // A middle-click pastes where it points. The editor moves its caret
    // there without a word before it pastes: the owner, told only after,
    // would take the paste to a caret it keeps away from what is shown, or
    // refuse it for that caret. So the caret is put there first, as the
    // user's own (told even where the document's caret already waits), and
    // the paste goes to it wherever putting it there scrolled the text.
    // A middle button let go during a drag ends the drag, as in the editor.
    if (e->button() == Qt::MiddleButton && !(e->buttons() & Qt::LeftButton) && !isReadOnly() &&
        QGuiApplication::clipboard()->supportsSelection()) {
        const QTextCursor there = cursorForPosition(e->position().toPoint());
        const QTextCursor was = textCursor();
        setTextCursor(there);
        if (!was.hasSelection() && was.position() == there.position()) emit cursorPositionChanged();
        if (const QMimeData* md = QGuiApplication::clipboard()->mimeData(QClipboard::Selection))
            insertFromMimeData(md);
        e->accept();
        return;
    }
    QTextEdit::mouseReleaseEvent(e);
}

void TimelineTextEdit::mouseMoveEvent(QMouseEvent* e) {
    if (claimsPoint && claimsPoint(e->position().toPoint()))
        viewport()->setCursor(Qt::PointingHandCursor);
    else
        viewport()->setCursor(Qt::IBeamCursor);
    if (e->buttons() & Qt::LeftButton) {
        Depth d(mouseDepth_);
        QTextEdit::mouseMoveEvent(e);
    } else {
        QTextEdit::mouseMoveEvent(e);
    }
}

}  // namespace verbolin
