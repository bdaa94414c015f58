#include "verbolin/ui/HeldWindow.hpp"

#include <QString>
#include <algorithm>
#include <cassert>

namespace verbolin {

std::function<void(const std::string&)>& HeldWindow::onProblem() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

bool HeldWindow::checking() {
#ifdef NDEBUG
    return static_cast<bool>(onProblem());
#else
    return true;
#endif
}

void HeldWindow::splice(Splice change) {
    assert(change.from <= change.to && change.to <= keys_.size());
    change.to = std::min(change.to, keys_.size());
    change.from = std::min(change.from, change.to);
    keys_.erase(keys_.begin() + std::ptrdiff_t(change.from),
                keys_.begin() + std::ptrdiff_t(change.to));
    keys_.insert(keys_.begin() + std::ptrdiff_t(change.from),
                 std::make_move_iterator(change.keys.begin()),
                 std::make_move_iterator(change.keys.end()));
    if (change.before) before_ = *change.before;
    place(change.lo, change.hi, change.scoped);
}

void HeldWindow::place(size_t lo, size_t hi, size_t scoped) {
    // Entries are by index: once the stretch moves, those outside it name
    // other paragraphs, or none.
    const bool moved = lo != lo_;
    lo_ = lo, hi_ = hi;
    toEnd_ = hi_ == scoped;
    if (moved)
        gutter_.clear();
    else
        dropGutterOutside();
}

void HeldWindow::dropGutterOutside() {
    // The live paragraph sits at hi when the stretch reaches the end.
    std::erase_if(gutter_, [&](const auto& entry) {
        return entry.first < lo_ || entry.first > hi_ || (entry.first == hi_ && !toEnd_);
    });
}

namespace {

// Whether `point` names a paragraph of `scope` with an offset within its
// text; paragraphs outside the scope (a search hides them) are carried as
// they were.
bool pointFits(const HeldWindow::Point& point, const TimelineBlocks& scope) {
    if (point.offset < 0) return false;
    const size_t count = scope.scoped().size();
    const Block* at = point.index < scope.size() && scope[point.index].id == point.id
                          ? &scope[point.index]
                          : nullptr;
    if (!at) {
        const auto all = scope.scoped();
        const auto it =
            std::find_if(all.begin(), all.end(), [&](const Block& b) { return b.id == point.id; });
        if (it != all.end())
            at = &*it;
        else if (scope.live() && scope.live()->id == point.id && count == point.index)
            at = scope.live();
    }
    return !at || point.offset <= QString::fromStdString(at->text()).size();
}

}  // namespace

std::vector<std::string> HeldWindow::problems(const Facts& facts) const {
    std::vector<std::string> out;
    const auto say = [&](std::string what) { out.push_back(std::move(what)); };
    const TimelineBlocks& scope = facts.scope;
    const size_t count = scope.scoped().size();
    const bool withLive = toEnd_ && scope.live();
    if (lo_ > hi_ || hi_ > count) say("the stretch held lies outside the scope");
    if (toEnd_ != (hi_ == count)) say("held to the end but not at the scope's end, or back");
    const size_t heldCount = hi_ - std::min(lo_, hi_) + (withLive ? 1 : 0);
    if (keys_.size() != heldCount)
        say("keys " + std::to_string(keys_.size()) + " for " + std::to_string(heldCount) +
            " paragraphs held, [" + std::to_string(lo_) + ", " + std::to_string(hi_) + ") of " +
            std::to_string(count) + (scope.live() ? " and the live one" : ""));
    // The keys name the paragraphs held, one for one and in order, as the
    // text shows them (an edit not yet stored may differ in text, not id).
    for (size_t k = 0; k < std::min(keys_.size(), heldCount); ++k) {
        if (k + lo_ >= count && !withLive) break;  // past the scope, said above
        const Block& b = k + lo_ < count ? scope.scoped()[k + lo_] : *scope.live();
        if (keys_[k].id != b.id) {
            say("key " + std::to_string(k) + " names another paragraph");
            break;
        }
    }
    const std::vector<ParagraphRange>& ranges = *facts.ranges;
    if (ranges.size() != keys_.size()) {
        say("ranges " + std::to_string(ranges.size()) + " for " + std::to_string(keys_.size()) +
            " keys");
    } else {
        for (size_t k = 0; k < ranges.size(); ++k)
            if (ranges[k].id != QString::fromStdString(keys_[k].id.string())) {
                say("range " + std::to_string(k) + " is not its key's paragraph");
                break;
            }
    }
    const std::optional<platform::Uuid> front =
        lo_ > 0 && lo_ <= count ? std::optional(scope.scoped()[lo_ - 1].id) : std::nullopt;
    if (!keys_.empty() && before_ != front) say("the paragraph in front is not the one held so");
    if (keys_.size() - std::min<size_t>(keys_.size(), withLive ? 1 : 0) >
        std::max<size_t>(facts.mostParagraphs, 1))
        say("more paragraphs held than the bound");
    if (!facts.withinDepth && keys_.size() > 1) say("what is held is deeper than the bound");
    for (const auto& [from, to] : stale_.spans())
        if (from < 0 || to > facts.textLength) say("text waiting for its size lies outside it");
    for (const auto& [index, entry] : gutter_)
        if (index < lo_ || index > hi_ || (index == hi_ && !withLive))
            say("a time column entry of a paragraph not held");
    if (away_.parked && !pointFits(*away_.parked, scope)) say("the caret lies past its paragraph");
    if (const auto& w = away_.wide) {
        if (!pointFits(w->anchor, scope) || !pointFits(w->position, scope))
            say("a selection end lies past its paragraph");
        if (w->docAnchor != facts.docAnchor || w->docPosition != facts.docPosition)
            say("the document does not show the selection kept");
    }
    const auto inDoc = [&](int p) { return p >= 0 && p <= facts.textLength; };
    if (!inDoc(facts.docAnchor) || !inDoc(facts.docPosition)) say("the caret is past the text");
    return out;
}

}  // namespace verbolin
