#include "verbolin/ui/TimelinePaneModel.hpp"

#include <algorithm>

#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/Pasteboard.hpp"

namespace verbolin {

TimelinePaneModel::TimelinePaneModel(TimelinePaneInputs inputs, TimelinePaneServices services,
                                     std::function<void()> onChange)
    : in_(std::move(inputs)),
      sections_(in_.sectionStarts),
      services_(std::move(services)),
      onChange_(std::move(onChange)) {
    observe();
}

const platform::Uuid& TimelinePaneModel::liveID() {
    static const platform::Uuid id = platform::Uuid::random();
    return id;
}

void TimelinePaneModel::setInputs(TimelinePaneInputs inputs) {
    const bool sameStore = inputs.store == in_.store;
    in_ = std::move(inputs);
    // Equal titles stay the shared ones, so that the text keeps what it
    // derived from them; a caller may hand over a fresh map on every refresh.
    if (!in_.sectionStarts.sharedWith(sections_) && in_.sectionStarts.map() != sections_.map())
        sections_ = in_.sectionStarts;
    if (!sameStore) observe();
    changed();
}

void TimelinePaneModel::observe() {
    speakingToken_ = {};
    previewToken_ = {};
    if (!in_.store) return;
    // The value present when the pane appears is a starting point, not a change.
    lastSpeaking_ = in_.store->isSpeaking.peek();
    speakingToken_ =
        in_.store->isSpeaking.observe([this] { speakingChanged(in_.store->isSpeaking.peek()); });
    previewToken_ = in_.store->preview.observe([this] { changed(); });
}

void TimelinePaneModel::speakingChanged(bool speaking) {
    const bool started = speaking && !lastSpeaking_;
    lastSpeaking_ = speaking;
    if (started && in_.showsLive && !atEnd_ && !hasSelection_) {
        const platform::Date now = services_.clock->now();
        if (!lastInteraction_ || platform::secondsBetween(*lastInteraction_, now) >= kIdleSeconds) {
            requestJump(std::nullopt);
            return;
        }
    }
    changed();
}

std::optional<Block> TimelinePaneModel::liveBlock() const {
    if (!in_.showsLive || !in_.store || !in_.store->isSpeaking.peek()) return std::nullopt;
    Segment s;
    s.id = liveID();
    s.start = s.end = services_.clock->now();
    const std::string& preview = in_.store->preview.peek();
    s.text = preview.empty() ? kLiveText : preview;
    return Block{liveID(), {s}};
}

TimelineInputs TimelinePaneModel::textViewInputs() {
    TimelineInputs t;
    t.blocks = in_.blocks;
    if ((t.liveBlock = liveBlock())) t.liveId = liveID();
    t.editable = true;
    t.fontSize = in_.fontSize;
    // The sidebar's times come from the store's calendar: so do these.
    t.label = [store = in_.store](const Block& b) -> std::string {
        if (b.id == liveID()) return "now";
        if (b.segments.empty()) return {};
        const platform::Date start = b.segments.front().start;
        return store ? store->calendar().shortTime(start) : UserCalendar().shortTime(start);
    };
    t.sectionStarts = sections_;
    t.onEdit = in_.onEdit;
    if (!t.onEdit)
        t.onEdit = [store = in_.store](const Block& b, const std::string&, const std::string& after,
                                       std::optional<int>) {
            if (store) store->replace(b, after);
        };
    t.onUndo = in_.onUndo;
    t.onRedo = in_.onRedo;
    t.canUndo = in_.canUndo;
    t.canRedo = in_.canRedo;
    t.onRefused = in_.onRefused;
    // A paragraph's id is its first segment's.
    t.inTranscript = [store = in_.store](const platform::Uuid& id) {
        return !store || !store->segmentsWithIds({id}).empty();
    };
    t.onScrolledToTop = in_.onScrolledToTop;
    t.onSelection = [self = weakSelf()](std::pair<int, int> range,
                                        const std::vector<platform::Uuid>& ids) {
        if (auto m = self.lock()) (*m)->selectionChanged(range, ids);
    };
    t.onVisible = [self = weakSelf()](auto first, auto last, bool atBottom) {
        if (auto m = self.lock()) (*m)->visibleChanged(first, last, atBottom);
    };
    t.onUserInteraction = [self = weakSelf()] {
        if (auto m = self.lock()) (*m)->userInteracted();
    };
    t.onDeleteSelection = in_.onDeleteSelection;
    t.onCopyBlock = [self = weakSelf()](const platform::Uuid& id) {
        if (auto m = self.lock()) (*m)->copyBlock(id);
    };
    t.jump = jump_;
    t.caret = caret_;
    return t;
}

ScrubberInputs TimelinePaneModel::scrubberInputs() {
    ScrubberInputs s;
    s.blocks = in_.blocks;
    s.visibleFirst = visibleFirst_;
    s.visibleLast = visibleLast_;
    s.live = in_.showsLive && in_.store && in_.store->isSpeaking.peek();
    s.isLiveView = in_.showsLive;
    s.atEnd = atEnd_;
    if (in_.store) s.calendar = &in_.store->calendar();
    s.onJump = [self = weakSelf()](const platform::Uuid& id) {
        if (auto m = self.lock()) (*m)->scrubberJumped(id);
    };
    return s;
}

void TimelinePaneModel::buttonPressed() { requestJump(std::nullopt); }

std::optional<platform::Uuid> TimelinePaneModel::withoutLive(
    std::optional<platform::Uuid> id) const {
    if (id != liveID()) return id;
    if (!in_.blocks || in_.blocks->empty()) return std::nullopt;
    return in_.blocks->back().id;
}

void TimelinePaneModel::visibleChanged(std::optional<platform::Uuid> first,
                                       std::optional<platform::Uuid> last, bool atBottom) {
    visibleFirst_ = withoutLive(first);
    visibleLast_ = withoutLive(last);
    atEnd_ = atBottom;
    if (services_.recorder) {
        auto head = [](const std::optional<platform::Uuid>& id) {
            return id ? id->string().substr(0, 4) : "nil";
        };
        services_.recorder->event("visible", "first=" + head(visibleFirst_) +
                                                 " last=" + head(visibleLast_) +
                                                 " atEnd=" + (atEnd_ ? "true" : "false"));
    }
    changed();
}

void TimelinePaneModel::selectionChanged(std::pair<int, int> range,
                                         const std::vector<platform::Uuid>& ids) {
    hasSelection_ = range.second > 0;
    if (in_.onSelection) in_.onSelection(range, ids);
}

void TimelinePaneModel::userInteracted() { lastInteraction_ = services_.clock->now(); }

void TimelinePaneModel::copyBlock(const platform::Uuid& id) {
    if (!in_.blocks) return;
    auto it = std::find_if(in_.blocks->begin(), in_.blocks->end(),
                           [&](const Block& b) { return b.id == id; });
    if (it == in_.blocks->end()) return;
    const Block block = *it;  // the callback may replace the blocks
    if (services_.pasteboard)
        services_.pasteboard->clearAndSetString(QString::fromStdString(block.text()));
    else
        ClipboardPasteboard().clearAndSetString(QString::fromStdString(block.text()));
    if (in_.onCopyBlock) in_.onCopyBlock(block);
}

void TimelinePaneModel::scrubberJumped(const platform::Uuid& id) {
    userInteracted();
    requestJump(id);
}

void TimelinePaneModel::requestCaret(const platform::Uuid& id, int offset) {
    caret_ = {id, offset, caret_.token + 1};
    changed();
}

void TimelinePaneModel::requestJump(std::optional<platform::Uuid> id) {
    jump_ = {std::move(id), jump_.token + 1};
    changed();
}

void TimelinePaneModel::changed() {
    if (onChange_) onChange_();
}

}  // namespace verbolin
