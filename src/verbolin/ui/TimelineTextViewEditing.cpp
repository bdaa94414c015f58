// The timeline's editing side: which changes the text allows, the user's
// changes mapped back to paragraphs and passed on as the paragraph the view
// was given with its text before and after, the selection reported, and the
// context menu. A paragraph the user empties keeps its place (and the caret)
// until the window lets it go. Undo and redo are the window's: the view
// passes the keys on and shows what the transcript holds afterwards.

#include <QAction>
#include <QMenu>
#include <QSet>
#include <QTextCursor>
#include <QTextDocument>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/TimelineDocument.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace verbolin {

bool TimelineTextView::shouldChange(int pos, int len) const {
    std::optional<QString> live;
    if (inputs_.liveId) live = QString::fromStdString(inputs_.liveId->string());
    return TimelineEditMapper::shouldChange(text_, pos, len, live);
}

std::optional<int> TimelineTextView::typingTarget(int pos, int len) const {
    if (!inputs_.liveId) return std::nullopt;
    const QString live = QString::fromStdString(inputs_.liveId->string());
    const std::vector<ParagraphRange>& all = ranges();
    const auto at =
        std::find_if(all.begin(), all.end(), [&](const ParagraphRange& r) { return r.id == live; });
    // Only typing wholly inside the live paragraph moves; a selection that
    // also holds stored text is the user's to change or not.
    if (at == all.end() || at == all.begin() || pos < at->location || pos + len > at->end())
        return std::nullopt;
    // The live paragraph is the recogniser's, and goes when speech ends: what
    // is typed there joins the paragraph before it, at its end.
    return std::prev(at)->end();
}

void TimelineTextView::contentsChanged(int pos, int removed, int added) {
    if (writing_) return;
    // Qt may report more than changed (a whole block on a format change):
    // keep only the part that differs, so untouched characters keep theirs.
    const QString before = text_.string().mid(pos, removed);
    const QString after = TimelineDocument::characters(*edit_->document(), pos, added);
    const auto [head, tail] = TimelineEditMapper::commonEnds(before, after);
    if (before.size() == after.size() && head == before.size()) return;  // formats only
    removedStyle_.reset();
    for (const AttributedRun& r : text_.runs(pos + head, int(before.size()) - head - tail))
        if (r.attributes.blockId) {
            removedStyle_ = r.attributes;
            break;
        }
    const int inserted = int(after.size()) - head - tail;
    text_.replace(pos + head, int(before.size()) - head - tail,
                  AttributedText(after.mid(head, inserted), typing_));
    typed_ = {pos + head, pos + head + inserted};
    ranges_.reset();
    userEdited_ = true;
    if (edit_->document()->characterCount() - 1 != text_.length()) desynced_ = true;
}

void TimelineTextView::textChanged() {
    if (!userEdited_) return;
    userEdited_ = false;
    editing_ = true;
    TimelineEditMapper::assignStrayText(text_, inputs_.fontSize);
    ranges_.reset();
    dropStandIns();
    markEmptied();
    const int caret = edit_->textCursor().position();
    DocumentGeometry::layoutAll(*edit_->document());
    writing_ = true;
    TimelineDocument::applyBlockFormats(*edit_->document(), text_, std::max(caret - 1, 0), caret);
    writing_ = false;
    // The paragraphs not yet written keep their keys in front.
    EditMapping mapping = TimelineEditMapper::collectEdits(
        text_, std::span(renderedKey_).subspan(std::min(pending_, renderedKey_.size())));
    renderedKey_.resize(pending_);
    renderedKey_.insert(renderedKey_.end(), std::make_move_iterator(mapping.keys.begin()),
                        std::make_move_iterator(mapping.keys.end()));
    renderedBlocks_.reset();
    for (const ParagraphEdit& e : mapping.edits) reportEdit(e);
    updateGutter();
    editing_ = false;
}

void TimelineTextView::selectionChanged() {
    const QTextCursor c = edit_->textCursor();
    const int location = c.selectionStart();
    if (auto id = blockIdAt(text_, location); id && platform::Uuid::parse(id->toStdString())) {
        typing_ = TimelineRenderer::bodyAttributes(inputs_.fontSize,
                                                   *platform::Uuid::parse(id->toStdString()), 0);
        if (const TextAttributes* a = text_.attributesAt(location); a && a->paragraph)
            typing_.paragraph = a->paragraph;
    }
    selectionInteractive_ = selectionInteractive_ || edit_->inMouseEvent();
    if (selectionPosted_) return;  // one report per turn, with the latest selection
    selectionPosted_ = true;
    postSelf([](TimelineTextView& v) {
        if (v.selectionPosted_) v.reportSelection();
    });
}

void TimelineTextView::reportSelection() {
    selectionPosted_ = false;
    const bool interactive = std::exchange(selectionInteractive_, false);
    const QTextCursor c = edit_->textCursor();
    const int location = c.selectionStart(), length = c.selectionEnd() - c.selectionStart();
    auto onSelection = inputs_.onSelection;
    auto onUserInteraction = inputs_.onUserInteraction;
    if (onSelection) onSelection({location, length}, selectedIds(ranges(), location, length));
    if (interactive && onUserInteraction) onUserInteraction();
}

QString TimelineTextView::plainSelectedText() const {
    const QTextCursor c = edit_->textCursor();
    if (!c.hasSelection()) return QString();
    return TimelineRenderer::plainText(text_, c.selectionStart(),
                                       c.selectionEnd() - c.selectionStart());
}

void TimelineTextView::decorateContextMenu(QMenu& menu, bool atParagraph) {
    const QTextCursor c = edit_->textCursor();
    if (!shouldChange(c.selectionStart(), c.selectionEnd() - c.selectionStart())) {
        for (QAction* a : menu.actions()) {
            const QString name = a->objectName();
            if (name == QLatin1String("edit-cut") || name == QLatin1String("edit-paste") ||
                name == QLatin1String("edit-delete"))
                a->setEnabled(false);
        }
    }
    // The editor's own Undo and Redo would find no history: these use the view's.
    for (QAction* a : menu.actions()) {
        const bool isUndo = a->objectName() == QLatin1String("edit-undo");
        if (!isUndo && a->objectName() != QLatin1String("edit-redo")) continue;
        QObject::disconnect(a, &QAction::triggered, nullptr, nullptr);
        const auto& can = isUndo ? inputs_.canUndo : inputs_.canRedo;
        a->setEnabled(inputs_.editable && can && can());
        connect(a, &QAction::triggered, this,
                isUndo ? &TimelineTextView::undo : &TimelineTextView::redo);
    }
    if (!inputs_.onDeleteSelection) return;
    QAction* first = menu.actions().isEmpty() ? nullptr : menu.actions().front();
    QAction* separator = menu.insertSeparator(first);
    QAction* del = new QAction(tr("Delete Paragraph"), &menu);  // owned by the menu
    // Asked for where no paragraph is, it would delete one the user did not
    // point at; it stays first, so the menu keeps its shape.
    del->setEnabled(atParagraph);
    connect(del, &QAction::triggered, this, &TimelineTextView::deleteSelectedParagraphs);
    menu.insertAction(separator, del);
}

void TimelineTextView::deleteSelectedParagraphs() {
    if (!inputs_.onDeleteSelection) return;
    // The host decides from the selection it was told of, which is reported
    // a turn late: a caret placed just now must be the one it goes by.
    if (selectionPosted_) reportSelection();
    inputs_.onDeleteSelection();
}

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

void TimelineTextView::dropStandIns() {
    // Text typed or pasted into an empty paragraph lies beside its stand-in,
    // which goes now: the paragraph holds the user's text alone. The right
    // side first, so that the left one's position still holds.
    const auto [from, to] = std::exchange(typed_, {0, 0});
    if (from == to) return;
    for (const int at : {to, from - 1}) {
        const TextAttributes* a = text_.attributesAt(at);
        if (!a || !a->standIn) continue;
        const int beside = at == to ? at - 1 : at + 1;
        const TextAttributes* typed = text_.attributesAt(beside);
        if (!typed || typed->blockId != a->blockId) continue;
        text_.replace(at, 1, AttributedText());
        write(at, 1, 0);
    }
}

void TimelineTextView::markEmptied() {
    // A paragraph whose text the user removed has no characters left to
    // carry its id: it gets a stand-in, where the caret is (which is where
    // its text was), so that it keeps its place and time and what is typed
    // next goes to it.
    const std::span<const ParagraphKey> keys =
        std::span(renderedKey_).subspan(std::min(pending_, renderedKey_.size()));
    // Typing never makes a paragraph: with as many as before, none is gone.
    if (ranges().size() >= keys.size()) return;
    // Looked up, not searched for: a key typed among thousands of
    // paragraphs would compare each one with each.
    QSet<QString> now;
    now.reserve(qsizetype(ranges().size()));
    for (const ParagraphRange& r : ranges()) now.insert(r.id);
    std::vector<platform::Uuid> gone;
    for (const ParagraphKey& k : keys)
        if (!now.contains(QString::fromStdString(k.id.string()))) gone.push_back(k.id);
    // Only the caret's own paragraph can be emptied by one change.
    if (gone.size() != 1) return;
    const int caret = edit_->textCursor().position();
    TextAttributes attributes = TimelineRenderer::bodyAttributes(inputs_.fontSize, gone.front(), 0);
    if (removedStyle_ && removedStyle_->blockId == attributes.blockId)
        attributes.paragraph = removedStyle_->paragraph;
    text_.replace(caret, 0, standIn(attributes));
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
