// The timeline's edits as paragraph steps: each user edit of a paragraph is
// passed on and kept, and undo and redo put one paragraph back as it was, in
// the transcript and on screen, without going through the text widget.

#include <QTextDocument>
#include <algorithm>
#include <span>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace verbolin {

void TimelineTextView::reportEdit(const ParagraphEdit& edit) {
    // The transcript's paragraph as it is now: the inputs may not show this
    // turn's earlier edits yet.
    const bool undoable = inputs_.paragraph && inputs_.onRestore;
    std::optional<Block> stored;
    if (undoable) {
        stored = inputs_.paragraph(edit.id);
    } else {
        for (const Block& b : inputs_.paragraphs())
            if (b.id == edit.id) stored = b;
    }
    if (!stored || TimelineEditMapper::sameAsShown(stored->text(), edit.after)) return;
    if (inputs_.onEdit) inputs_.onEdit(*stored, edit.after);
    if (!undoable) return;
    const QString after = QString::fromStdString(edit.after);
    std::optional<int> caret;
    if (const auto range = rangeOf(edit.id); range)
        caret = edit_->textCursor().position() - range->location;
    const TimelineEditMapper::ChangeSpan span =
        TimelineEditMapper::changeSpan(QString::fromStdString(edit.before), after, caret);
    UndoStep step;
    step.paragraph = edit.id;
    step.before = edit.before;
    step.after = edit.after;
    step.storedBefore = std::move(stored);
    step.storedAfter = inputs_.paragraph(edit.id);
    step.at = span.at;
    step.removed = span.removed;
    step.inserted = span.inserted;
    step.lineBreak = after.mid(span.at, span.inserted).contains(QLatin1Char('\n'));
    step.previous = edit.previous;
    history_.record(std::move(step));
}

void TimelineTextView::dropLoneSeparators() {
    // A paragraph emptied by the user leaves two separators side by side, or
    // one at an end of the text. The second of two goes, so that the caret
    // stands at the start of the next paragraph, and further Backspace
    // presses stop there as they stopped at the emptied one.
    std::vector<int> lone;
    const int length = text_.length();
    text_.forEachRun([&](int start, int runLength, const TextAttributes& a) {
        if (!a.separator) return;
        // At the very start only while no older paragraph waits in front.
        const bool atEnd = (start == 0 && pending_ == 0) || start + runLength == length;
        for (int k = atEnd ? 0 : 1; k < runLength; ++k) lone.push_back(start + k);
    });
    for (auto it = lone.rbegin(); it != lone.rend(); ++it) {
        text_.replace(*it, 1, AttributedText());
        write(*it, 1, 0);
    }
}

void TimelineTextView::undo() { stepHistory(true); }
void TimelineTextView::redo() { stepHistory(false); }

void TimelineTextView::stepHistory(bool back) {
    if (!inputs_.editable || !inputs_.paragraph || !inputs_.onRestore) return;
    while (const UndoStep* next = back ? history_.nextUndo() : history_.nextRedo()) {
        const UndoStep step = *next;  // the history may change while it is applied
        if (applyStep(step, back)) {
            back ? history_.undone() : history_.redone();
            return;
        }
        back ? history_.dropUndo() : history_.dropRedo();
    }
}

std::optional<ParagraphRange> TimelineTextView::rangeOf(const platform::Uuid& id) const {
    const QString name = QString::fromStdString(id.string());
    for (const ParagraphRange& r : ranges())
        if (r.id == name) return r;
    return std::nullopt;
}

std::optional<TimelineTextView::TextChange> TimelineTextView::showing(
    const UndoStep& step, const std::optional<Block>& stored, const std::string& shown) const {
    const std::optional<ParagraphRange> range = rangeOf(step.paragraph);
    if (range && !shown.empty()) {
        return TextChange{range->location, range->length,
                          TimelineRenderer::body(QString::fromStdString(shown),
                                                 *text_.attributesAt(range->location))};
    }
    if (range) {
        // With the separator in front of it, or, first, the one after it.
        const bool first = range->location == 0;
        const int after = first && range->end() < text_.length() ? 1 : 0;
        return TextChange{
            range->location - (first ? 0 : 1), range->length + (first ? after : 1), {}};
    }
    if (shown.empty()) return TextChange{};
    if (!stored) return std::nullopt;
    // Back behind the paragraph it followed, which must still be shown.
    const std::span<const Block> one(&*stored, 1);
    if (step.previous) {
        const std::optional<ParagraphRange> previous = rangeOf(*step.previous);
        const std::optional<Block> before = inputs_.paragraph(*step.previous);
        if (!previous || !before) return std::nullopt;
        return TextChange{previous->end(), 0,
                          TimelineRenderer::render(one, &*before, inputs_.fontSize, sectionKeys_)};
    }
    if (pending_ > 0) return std::nullopt;  // its place is among those still to come
    AttributedText text = TimelineRenderer::render(one, nullptr, inputs_.fontSize, sectionKeys_);
    if (!text_.empty())
        text.append(QStringLiteral("\n"), TimelineRenderer::separatorAttributes(inputs_.fontSize));
    return TextChange{0, 0, std::move(text)};
}

bool TimelineTextView::applyStep(const UndoStep& step, bool back) {
    const std::string& shownNow = back ? step.after : step.before;
    const std::optional<Block>& storedNow = back ? step.storedAfter : step.storedBefore;
    const std::optional<Block>& storedThen = back ? step.storedBefore : step.storedAfter;
    const std::string& shownThen = back ? step.before : step.after;
    // Only over what the step left: deleted, joined by new speech or edited
    // otherwise since, the paragraph is no longer the step's to change.
    if (inputs_.paragraph(step.paragraph) != storedNow) return false;
    const std::optional<ParagraphRange> range = rangeOf(step.paragraph);
    if (range
            ? text_.string().mid(range->location, range->length) != QString::fromStdString(shownNow)
            : storedNow.has_value())
        return false;
    const std::optional<TextChange> change = showing(step, storedThen, shownThen);
    if (!change) return false;

    const QTextCursor cursor = edit_->textCursor();
    const bool caretInside = range && cursor.selectionStart() >= range->location &&
                             cursor.selectionEnd() <= range->end();
    inputs_.onRestore(step.paragraph, storedThen);
    if (change->removed > 0 || !change->inserted.empty()) {
        text_.replace(change->start, change->removed, change->inserted);
        write(change->start, change->removed, change->inserted.length());
    }
    renderedKey_.resize(pending_);
    for (ParagraphKey& key : TimelineEditMapper::collectEdits(text_, {}).keys)
        renderedKey_.push_back(std::move(key));
    renderedBlocks_.reset();
    // A caret in the paragraph goes where the step's change was; any other
    // stays by its text.
    if (const std::optional<ParagraphRange> now = rangeOf(step.paragraph); now && caretInside) {
        const int offset =
            std::clamp(step.at + (back ? step.removed : step.inserted), 0, now->length);
        restoreSelection(now->location + offset, now->location + offset);
        edit_->ensureCursorVisible();
    }
    DocumentGeometry::layoutAll(*edit_->document());
    updateGutter();
    return true;
}

}  // namespace verbolin
