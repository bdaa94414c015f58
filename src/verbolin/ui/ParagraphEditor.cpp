#include "verbolin/ui/ParagraphEditor.hpp"

#include <QString>
#include <algorithm>
#include <cassert>
#include <functional>
#include <unordered_map>
#include <utility>

#include "platform/system/Text.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/TimelineEditMapper.hpp"

namespace verbolin {

namespace {

std::vector<platform::Uuid> idsOf(const std::vector<Segment>& segments) {
    std::vector<platform::Uuid> ids;
    for (const Segment& s : segments) ids.push_back(s.id);
    return ids;
}

bool blank(const std::string& text) {
    return platform::text::trimmedScalars(text, platform::text::isWhiteSpace).empty();
}

// Whether the transcript holds `expected` as it is, and nothing else of `ids`.
bool holdsExactly(const std::vector<Segment>& present, const std::vector<Segment>& expected) {
    if (present.size() != expected.size()) return false;
    std::unordered_map<platform::Uuid, const Segment*> byId;
    for (const Segment& s : present) byId.emplace(s.id, &s);
    return std::all_of(expected.begin(), expected.end(), [&](const Segment& s) {
        const auto it = byId.find(s.id);
        return it != byId.end() && *it->second == s;
    });
}

// The text of `after` that is the held paragraph's own, when the segments
// that joined it since it was held (speech that landed beside it) are shown
// in front of and behind it as they are: those are left alone. None when the
// edit reached into them, or they lie between its own.
std::optional<std::string> ownText(const std::vector<Segment>& present,
                                   const std::vector<platform::Uuid>& own,
                                   const std::string& after) {
    const auto isOwn = [&](const Segment& s) {
        return std::find(own.begin(), own.end(), s.id) != own.end();
    };
    const auto first = std::find_if(present.begin(), present.end(), isOwn);
    const auto last = std::find_if(present.rbegin(), present.rend(), isOwn).base();
    if (first == present.end() || std::any_of(first, last, std::not_fn(isOwn))) return std::nullopt;
    // Block::text joins segments with one space.
    std::string head, tail;
    for (auto it = present.begin(); it != first; ++it) head += it->text + ' ';
    for (auto it = last; it != present.end(); ++it) tail += ' ' + it->text;
    if (after.size() < head.size() + tail.size() || !after.starts_with(head) ||
        !after.ends_with(tail))
        return std::nullopt;
    return after.substr(head.size(), after.size() - head.size() - tail.size());
}

}  // namespace

void ParagraphEditor::hold(const Block& shown, const std::string& text) {
    held_ = Held{shown.id, {}, shown, text};
    for (const Segment& s : shown.segments) held_->segmentIds.push_back(s.id);
}

void ParagraphEditor::edit(const Block& shown, const std::string& before, const std::string& after,
                           std::optional<int> caret) {
    if (!held_ || held_->id != shown.id) hold(shown, before);
    Held& h = *held_;
    // The view may not show this turn's earlier edits yet: the segments it
    // was given and those the paragraph has since are asked about alike.
    std::vector<platform::Uuid> ids = h.segmentIds;
    for (const Segment& s : shown.segments)
        if (std::find(ids.begin(), ids.end(), s.id) == ids.end()) ids.push_back(s.id);
    std::vector<Segment> current = store_.segmentsWithIds(ids);
    // Speech that joined the paragraph while it was held keeps its own
    // segments as long as the edit leaves their text alone.
    const auto joined = [&](const Segment& s) {
        return std::find(h.segmentIds.begin(), h.segmentIds.end(), s.id) == h.segmentIds.end();
    };
    std::string text = after;
    if (std::any_of(current.begin(), current.end(), joined))
        // Its own text all taken, the paragraph is stored whole as one: its
        // segments gone, the space that joined them to the speech, its id
        // and its start would go with them, and a paste would not bring
        // them back.
        if (const auto own = ownText(current, h.segmentIds, after); own && !blank(*own)) {
            text = *own;
            std::erase_if(current, joined);
        }
    if (!current.empty()) h.last = Block{current.front().id, SegmentList(current)};
    if (h.last.segments.empty()) return;  // a paragraph it never knew: nothing to store
    std::vector<Segment> replacement;
    if (!blank(text)) replacement.push_back(TranscriptStore::editedSegment(h.last, text));
    h.shown = text;
    h.segmentIds = idsOf(replacement);
    // White space typed into a paragraph the transcript no longer holds
    // changes nothing there, and leaves nothing to undo.
    if (current == replacement) return;
    store_.replaceSegments(current, replacement);

    const QString afterText = QString::fromStdString(after);
    const TimelineEditMapper::ChangeSpan span =
        TimelineEditMapper::changeSpan(QString::fromStdString(before), afterText, caret);
    UndoStep step;
    step.paragraph = shown.id;
    step.start = std::as_const(h.last.segments).front().start;
    step.before = std::move(current);
    step.after = std::move(replacement);
    step.shownBefore = before;
    step.shownAfter = after;
    step.at = span.at;
    step.removed = span.removed;
    step.inserted = span.inserted;
    const QString put = afterText.mid(span.at, span.inserted);
    step.lineBreak = put.contains(QLatin1Char('\n'));
    step.typed = span.removed == 0 && !put.isEmpty() && put.toUcs4().size() == 1;
    history_.record(std::move(step));
}

std::optional<Block> ParagraphEditor::heldBlock() const {
    if (!held_) return std::nullopt;
    std::vector<Segment> segments = store_.segmentsWithIds(held_->segmentIds);
    // Text the transcript no longer holds was deleted there, not emptied here.
    if (segments.empty() && (!blank(held_->shown) || held_->last.segments.empty()))
        return std::nullopt;
    if (segments.empty()) {
        Segment standIn;
        standIn.id = held_->id;
        standIn.start = held_->last.segments.front().start;
        standIn.end = held_->last.segments.back().end;
        standIn.text = held_->shown;
        segments.push_back(std::move(standIn));
    }
    return Block{held_->id, SegmentList(std::move(segments))};
}

bool ParagraphEditor::caretIn(const std::vector<platform::Uuid>& paragraphs) {
    // A selection that reaches from it into others has not left it: a key
    // typed over that is refused, and the paragraph must still be there.
    if (!held_ || std::find(paragraphs.begin(), paragraphs.end(), held_->id) != paragraphs.end())
        return false;
    return release();
}

bool ParagraphEditor::release() {
    if (!held_) return false;
    held_.reset();
    history_.seal();
    return true;
}

ParagraphEditor::Outcome ParagraphEditor::step(bool back) {
    const UndoStep* next = back ? history_.nextUndo() : history_.nextRedo();
    if (!next) return {};
    const UndoStep step = *next;  // the history changes below
    const std::vector<Segment>& now = back ? step.after : step.before;
    const std::vector<Segment>& then = back ? step.before : step.after;
    Outcome out;
    out.paragraph = step.paragraph;
    out.start = step.start;
    std::vector<platform::Uuid> ids = idsOf(now);
    for (const Segment& s : then) ids.push_back(s.id);
    const std::vector<Segment> present = store_.segmentsWithIds(ids);
    if (!holdsExactly(present, now)) {
        // Never applied elsewhere, and never passed over without a word.
        const bool gone = std::any_of(now.begin(), now.end(), [&](const Segment& s) {
            return std::none_of(present.begin(), present.end(),
                                [&](const Segment& p) { return p.id == s.id; });
        });
        out.problem = std::string(back ? "Cannot undo" : "Cannot redo") +
                      " the change to the paragraph of " + store_.calendar().shortTime(step.start) +
                      (gone ? ": it was deleted since." : ": it was changed since.");
        back ? history_.dropUndo() : history_.dropRedo();
        return out;
    }
    store_.replaceSegments(now, then);
    back ? history_.undone() : history_.redone();
    if (held_ && held_->id == step.paragraph) {
        held_->segmentIds = idsOf(then);
        held_->shown = back ? step.shownBefore : step.shownAfter;
    }
    out.applied = true;
    out.segments = idsOf(then.empty() ? now : then);
    out.caret = step.at + (back ? step.removed : step.inserted);
    return out;
}

}  // namespace verbolin
