// The timeline's editing side: which changes the text allows, the user's
// changes mapped back to paragraphs and passed on as the paragraph the view
// was given with its text before and after, the selection reported, and the
// context menu. Every change of the document is taken in or taken back
// here, whatever made it. A paragraph the user empties is an empty line,
// kept (with the caret) until the window lets it go. Undo and redo are the
// window's: the view
// passes the keys on and shows what the transcript holds afterwards.

#include <QAction>
#include <QMenu>
#include <QTextCursor>
#include <QTextDocument>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/TimelineDocument.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace verbolin {

namespace {

constexpr const char* kWideRefusal =
    "A selection across paragraphs cannot be changed: edit one paragraph at a time.";

}  // namespace

bool TimelineTextView::shouldChange(int pos, int len) const {
    // A selection reaching paragraphs not held is never typed over: what is
    // not shown would go unseen.
    if (held_.away().wide) return false;
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

namespace {

// Whether [at, at + length) holds a separator.
bool holdsSeparator(const AttributedText& text, int at, int length) {
    for (const AttributedRun& r : text.runs(at, length))
        if (r.attributes.separator) return true;
    return false;
}

// Where a deletion of `length` characters at `at` may as well have been:
// deleting any of a row of equal characters leaves the same string, and the
// narrowing that found `at` takes the first. One that keeps the separators
// is the one the user made (Backspace after an empty line inside a
// paragraph must not read as the separator behind it going).
int slideOffSeparators(const AttributedText& text, int at, int length) {
    const QString& s = text.string();
    for (int left = at; left >= 0; --left) {
        if (!holdsSeparator(text, left, length)) return left;
        if (left == 0 || s[left - 1] != s[left + length - 1]) break;
    }
    for (int right = at; right + length <= s.size(); ++right) {
        if (!holdsSeparator(text, right, length)) return right;
        if (right + length == s.size() || s[right] != s[right + length]) break;
    }
    return at;
}

}  // namespace

void TimelineTextView::contentsChanged(int pos, int removed, int added) {
    if (writing_) return;
    userEdited_ = true;
    // Typed into text still in the last font size, it may have taken that look.
    held_.stale().replace(pos, removed, added, true);
    // A second change before the first was looked at: the document is
    // rendered anew from the text rather than guessed at.
    if (refused_ || desynced_) {
        desynced_ = true;
        return;
    }
    // Qt may report more than changed (a whole block on a format change):
    // keep only the part that differs, so untouched characters keep theirs.
    const QString before = text_.string().mid(pos, removed);
    const QString after = TimelineDocument::characters(*edit_->document(), pos, added);
    const auto [head, tail] = TimelineEditMapper::commonEnds(before, after);
    if (before.size() == after.size() && head == before.size()) return;  // formats only
    const int gone = int(before.size()) - head - tail, put = int(after.size()) - head - tail;
    int at = pos + head;
    if (put == 0) at = slideOffSeparators(text_, at, gone);
    std::optional<QString> live;
    if (inputs_.liveId) live = QString::fromStdString(inputs_.liveId->string());
    const std::optional<TextAttributes> look = insertionAttributes(at);
    // Whatever made the change, keys or not, one the text would refuse is
    // taken back rather than shown and never stored.
    if (held_.away().wide || !look || !TimelineEditMapper::shouldChange(text_, at, gone, live)) {
        refused_ = Refused{at, gone, put};
        return;
    }
    text_.replace(at, gone, TimelineRenderer::lines(after.mid(at - pos, put), *look));
    ranges_.reset();
    touched_ = touched_
                   ? std::pair(std::min(touched_->first, at), std::max(touched_->second, at + put))
                   : std::pair(at, at + put);
    if (put > 0) restyle_ = {at, at + put};
    if (edit_->document()->characterCount() - 1 != text_.length()) desynced_ = true;
}

std::optional<TextAttributes> TimelineTextView::insertionAttributes(int position) const {
    const ParagraphRange* at = rangeAt(ranges(), position);
    if (!at) return std::nullopt;
    const ParagraphRange& r = *at;
    const auto id = platform::Uuid::parse(r.id.toStdString());
    if (!id) return std::nullopt;
    TextAttributes look = TimelineRenderer::bodyAttributes(inputs_.fontSize, *id, 0);
    const TextAttributes* near = nullptr;
    if (position > r.location) {
        near = text_.attributesAt(position - 1);
        // After a line break of its own: a line with no space above.
        if (text_.string()[position - 1] == QLatin1Char('\n')) {
            if (near && near->paragraph) look.paragraph->lineSpacing = near->paragraph->lineSpacing;
            return look;
        }
    } else if (r.length > 0) {
        near = text_.attributesAt(position);
    } else if (r.location > 0) {
        near = text_.attributesAt(r.location - 1);  // the separator, with its style
    }
    if (near && near->paragraph) look.paragraph = near->paragraph;
    return look;
}

void TimelineTextView::takeBack() {
    const Refused r = *std::exchange(refused_, std::nullopt);
    write(r.at, r.put, r.gone);
    QTextCursor c = edit_->textCursor();
    c.setPosition(std::min(r.at, text_.length()));
    edit_->setTextCursor(c);
    std::optional<QString> live;
    if (inputs_.liveId) live = QString::fromStdString(inputs_.liveId->string());
    const char* why = held_.away().wide
                          ? kWideRefusal
                          : TimelineEditMapper::whyRefused(text_, ranges(), r.at, r.gone, live);
    if (inputs_.onRefused)
        inputs_.onRefused(why ? why : "There is no paragraph here to take the text.");
}

void TimelineTextView::textChanged() {
    if (!userEdited_) return;
    const Road road(*this);
    userEdited_ = false;
    if (desynced_) {
        // Not from inside the document's own notice: a new render swaps
        // the document out.
        refused_.reset();
        restyle_.reset();
        touched_.reset();
        postSelf([](TimelineTextView& v) {
            if (v.desynced_) v.apply();
        });
        return;
    }
    if (refused_) {
        touched_.reset();
        return takeBack();
    }
    editing_ = true;
    TimelineEditMapper::assignStrayText(text_, inputs_.fontSize);
    ranges_.reset();
    const int caret = edit_->textCursor().position();
    writing_ = true;
    const auto put = std::exchange(restyle_, std::nullopt);
    if (put)
        TimelineDocument::applyCharFormats(*edit_->document(), text_, put->first, put->second,
                                           edit_->palette());
    writing_ = false;
    DocumentGeometry::layoutAll(*edit_->document());
    // Every line a paste made: Qt gives each the look of the line it was
    // pasted into, the first line's space above included.
    const int from = std::max(put ? std::min(put->first, caret - 1) : caret - 1, 0);
    writing_ = true;
    TimelineDocument::applyBlockFormats(*edit_->document(), text_, from,
                                        put ? std::max(put->second, caret) : caret);
    writing_ = false;
    EditMapping mapping = mapEdits();
    // A paragraph typed past the length (or depth) shown whole is stored whole and
    // shown in part from then on: its key no longer matches what the window
    // hands over next.
    for (const ParagraphEdit& e : mapping.edits)
        if (e.after.size() >= size_t(LongParagraph::kDeepFrom) &&
            LongParagraph::tooLong(QString::fromStdString(e.after)))
            for (size_t k = 0; k < held_.keys().size(); ++k)
                if (held_.keys()[k].id == e.id)
                    splice({held_.lo(), held_.hi(), scopedCount(), k, k + 1,
                            std::vector{ParagraphKey{e.id, {}}}, std::nullopt});
    renderedBlocks_.reset();
    for (const ParagraphEdit& e : mapping.edits) reportEdit(e);
    updateGutter();
    editing_ = false;
}

EditMapping TimelineTextView::mapEdits() {
    const std::vector<ParagraphRange>& all = ranges();
    const auto touched = std::exchange(touched_, std::nullopt);
    // Only the paragraphs the change touched, and their neighbours, are
    // compared: ranges follow the keys one for one.
    if (touched && all.size() == held_.keys().size() && !all.empty()) {
        size_t from = firstRangeEndingAfter(all, touched->first - 1);
        size_t to = from;
        while (to < all.size() && all[to].location <= touched->second) ++to;
        from = from > 0 ? from - 1 : 0;
        to = std::min(to + 1, all.size());
        bool same = from < to;
        for (size_t i = from; same && i < to; ++i)
            same = all[i].id == QString::fromStdString(held_.keys()[i].id.string());
        if (same) {
            const std::vector<ParagraphRange> part(all.begin() + std::ptrdiff_t(from),
                                                   all.begin() + std::ptrdiff_t(to));
            EditMapping m = TimelineEditMapper::collectEdits(
                text_, part, std::span(held_.keys()).subspan(from, to - from));
            if (m.keys.size() == to - from) {
                splice({held_.lo(), held_.hi(), scopedCount(), from, to, m.keys, std::nullopt});
                return m;
            }
        }
    }
    EditMapping m = TimelineEditMapper::collectEdits(text_, all, held_.keys());
    splice({held_.lo(), held_.hi(), scopedCount(), 0, held_.keys().size(), m.keys, std::nullopt});
    return m;
}

void TimelineTextView::selectionChanged() {
    if (!settingWide_ && !writing_) held_.away().parked.reset(), held_.away().userCaret = true;
    if (held_.away().wide && !settingWide_ && !writing_) {
        // Shift with a key or the mouse from the end kept beside the document
        // moves the other end; any other selection replaces it.
        const QTextCursor c = edit_->textCursor();
        if (c.anchor() != held_.away().wide->docAnchor) {
            held_.away().wide.reset();
        } else if (c.position() != held_.away().wide->docPosition) {
            if (const auto at = logicalOf(c.position())) held_.away().wide->position = *at;
            held_.away().wide->docPosition = c.position();
        }
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
    std::vector<platform::Uuid> ids = selectedIds(ranges(), location, length);
    // A caret kept beside the document is in its own paragraph, not in the
    // one where the document's caret waits: reported as that, the window
    // let go of an emptied paragraph the user was still typing into.
    if (const auto& parked = held_.away().parked) ids = {parked->id};
    if (onSelection) onSelection({location, length}, ids);
    if (interactive && onUserInteraction) onUserInteraction();
}

QString TimelineTextView::plainSelectedText() const {
    if (held_.away().wide)
        return logicalText(held_.away().wide->anchor, held_.away().wide->position);
    const QTextCursor c = edit_->textCursor();
    if (!c.hasSelection()) return QString();
    const auto from = logicalOf(c.selectionStart()), to = logicalOf(c.selectionEnd());
    if (!from || !to)
        return TimelineRenderer::plainText(text_, c.selectionStart(),
                                           c.selectionEnd() - c.selectionStart());
    return logicalText(*from, *to);
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
    // Select All and Copy take in what is not held too.
    for (QAction* a : menu.actions()) {
        if (a->objectName() == QLatin1String("select-all")) {
            QObject::disconnect(a, &QAction::triggered, nullptr, nullptr);
            connect(a, &QAction::triggered, this, &TimelineTextView::selectWhole);
        } else if (a->objectName() == QLatin1String("edit-copy")) {
            QObject::disconnect(a, &QAction::triggered, nullptr, nullptr);
            a->setEnabled(c.hasSelection() || held_.away().wide.has_value());
            connect(a, &QAction::triggered, edit_, &TimelineTextEdit::copySelection);
        }
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
    if (held_.away().wide) {
        if (inputs_.onRefused)
            inputs_.onRefused(
                "A selection that reaches paragraphs not shown cannot be deleted at once: "
                "select fewer paragraphs.");
        return;
    }
    // The host decides from the selection it was told of, which is reported
    // a turn late: a caret placed just now must be the one it goes by.
    if (selectionPosted_) reportSelection();
    inputs_.onDeleteSelection();
}

void TimelineTextView::reportEdit(const ParagraphEdit& edit, std::optional<int> caret) {
    if (!inputs_.onEdit) return;
    Block shown{edit.id, {}};
    // Among those held: a key must not walk years of paragraphs.
    for (const Block& b : held())
        if (b.id == edit.id) shown = b;
    // Typed back to what the paragraph holds: no edit. The window hands
    // over the paragraphs anew after each edit, so they are never behind.
    if (TimelineEditMapper::sameAsShown(shown.segments.empty() ? edit.before : shown.text(),
                                        edit.after))
        return;
    if (const auto range = rangeOf(edit.id); range && !caret) {
        const int position = edit_->textCursor().position();
        if (position >= range->location && position <= range->end())
            caret = std::min(textOffset(text_, *range, position),
                             int(QString::fromStdString(edit.after).size()));
    }
    inputs_.onEdit(shown, edit.before, edit.after, caret);
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
    std::optional<ParagraphRange> range = rangeOf(*inputs_.caret.id);
    // Not held: the part around it comes in.
    if (!range)
        if (const auto at = indexOf(*inputs_.caret.id, held_.lo())) {
            holdAround(*at);
            range = rangeOf(*inputs_.caret.id);
        }
    if (!range) return;
    const int at = verbolin::positionOf(text_, *range, std::max(inputs_.caret.offset, 0));
    QTextCursor c = edit_->textCursor();
    c.setPosition(at);
    edit_->setTextCursor(c);
    // Placed, even where the document's caret already was (no change told).
    held_.away().userCaret = true;
    edit_->ensureCursorVisible();
}

namespace {

// Line breaks as the document takes them from a paste: U+2028 is no block
// break there, and stays the character it is.
QString asInserted(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (const char16_t c : {u'\r', u'\u2029', u'\uFDD0', u'\uFDD1'})
        text.replace(QChar(c), QLatin1Char('\n'));
    return text;
}

}  // namespace

bool TimelineTextView::pasteLong(const QString& pasted) {
    const QTextCursor c = edit_->textCursor();
    const ParagraphRange* at = rangeAt(ranges(), c.selectionStart());
    if (!at || c.selectionEnd() > at->end()) return false;
    const ParagraphRange r = *at;
    const auto id = platform::Uuid::parse(r.id.toStdString());
    const QString text = asInserted(pasted);
    const QString before = paragraphText(text_, r);
    const int head = textOffset(text_, r, c.selectionStart());
    const QString after =
        before.left(head) + text + before.mid(textOffset(text_, r, c.selectionEnd()));
    if (!id || !inputs_.onEdit ||
        (!LongParagraph::tooLong(after) && !LongParagraph::hasLongStretch(text)))
        return false;
    // The document never lays it out as it came: the window stores it and
    // hands the paragraph over again, which shows it as it shows any other.
    const int caret = head + int(text.size());
    reportEdit(ParagraphEdit{*id, before.toStdString(), after.toStdString(), std::nullopt}, caret);
    if (const auto now = rangeOf(*id)) {
        QTextCursor placed = edit_->textCursor();
        placed.setPosition(std::min(verbolin::positionOf(text_, *now, caret), now->end()));
        edit_->setTextCursor(placed);
    }
    return true;
}

}  // namespace verbolin
