// The timeline's edits as paragraph edits: each user edit of a paragraph is
// passed on as the paragraph the view was given and its text before and
// after; a paragraph the user empties keeps its place (and the caret) until
// the window lets it go. Undo and redo are the window's: the view passes the
// keys on and shows what the transcript holds afterwards.

#include <QTextCursor>
#include <QTextDocument>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/TimelineDocument.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace verbolin {

void TimelineTextView::reportEdit(const ParagraphEdit& edit) {
    if (!inputs_.onEdit) return;
    Block shown{edit.id, {}};
    for (const Block& b : inputs_.paragraphs())
        if (b.id == edit.id) shown = b;
    // Typed back to what the paragraph holds: no edit. The window hands
    // over the paragraphs anew after each edit, so they are never behind.
    if (TimelineEditMapper::sameAsShown(shown.segments.empty() ? edit.before : shown.text(),
                                        edit.after))
        return;
    std::optional<int> caret;
    if (const auto range = rangeOf(edit.id); range) {
        const int at = edit_->textCursor().position() - range->location;
        if (at >= 0 && at <= range->length)
            caret = std::min(at, int(QString::fromStdString(edit.after).size()));
    }
    inputs_.onEdit(shown, edit.before, edit.after, caret);
}

void TimelineTextView::markEmptied() {
    // A paragraph whose text the user removed has no characters left to
    // carry its id: it gets the mark, where the caret is (which is where its
    // text was), so that it keeps its place and time and what is typed next
    // goes to it.
    const std::span<const ParagraphKey> keys =
        std::span(renderedKey_).subspan(std::min(pending_, renderedKey_.size()));
    const std::vector<ParagraphRange>& now = ranges();
    std::vector<platform::Uuid> gone;
    for (const ParagraphKey& k : keys) {
        const QString id = QString::fromStdString(k.id.string());
        if (std::none_of(now.begin(), now.end(),
                         [&](const ParagraphRange& r) { return r.id == id; }))
            gone.push_back(k.id);
    }
    // Only the caret's own paragraph can be emptied by one change.
    if (gone.size() != 1) return;
    const int caret = edit_->textCursor().position();
    TextAttributes attributes = TimelineRenderer::bodyAttributes(inputs_.fontSize, gone.front(), 0);
    if (removedStyle_ && removedStyle_->blockId == attributes.blockId)
        attributes.paragraph = removedStyle_->paragraph;
    const AttributedText mark(QString(QChar(kEmptyParagraphMark)), attributes);
    text_.replace(caret, 0, mark);
    write(caret, 0, 1);
    QTextCursor c = edit_->textCursor();
    c.setPosition(caret);
    edit_->setTextCursor(c);
}

void TimelineTextView::undo() {
    if (inputs_.editable && inputs_.onUndo) inputs_.onUndo();
}

void TimelineTextView::redo() {
    if (inputs_.editable && inputs_.onRedo) inputs_.onRedo();
}

std::optional<ParagraphRange> TimelineTextView::rangeOf(const platform::Uuid& id) const {
    const QString name = QString::fromStdString(id.string());
    for (const ParagraphRange& r : ranges())
        if (r.id == name) return r;
    return std::nullopt;
}

void TimelineTextView::handleCaret() {
    if (inputs_.caret.token == lastCaretToken_) return;
    lastCaretToken_ = inputs_.caret.token;
    if (!inputs_.caret.id) return;
    const std::optional<ParagraphRange> range = rangeOf(*inputs_.caret.id);
    if (!range) return;
    const int at = range->location + std::clamp(inputs_.caret.offset, 0, range->length);
    QTextCursor c = edit_->textCursor();
    c.setPosition(at);
    edit_->setTextCursor(c);
    edit_->ensureCursorVisible();
}

}  // namespace verbolin
