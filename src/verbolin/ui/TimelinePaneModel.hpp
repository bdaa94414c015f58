#pragma once
// The behaviour of the timeline pane without its widgets: the live paragraph
// of the utterance being heard, the visible range the text view reports, the
// "Live"/"End" button, the jump-to-live rule, paragraph copies and edits.
// Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/system/Clock.hpp"
#include "platform/system/Observable.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/ScrubberGeometry.hpp"
#include "verbolin/ui/TimelineInputs.hpp"

namespace verbolin {

class DebugRecorder;
class Pasteboard;
class TranscriptStore;

// What the pane's creator gives it; the pane never changes these.
struct TimelinePaneInputs {
    TranscriptStore* store = nullptr;
    std::shared_ptr<const std::vector<Block>> blocks;  // already scoped, oldest first
    double fontSize = 26;
    bool showsLive = false;
    SectionTitles sectionStarts;
    std::function<void()> onDeleteSelection;
    std::function<void(const Block&)> onCopyBlock;
    std::function<void()> onScrolledToTop;
    std::function<void(std::pair<int, int>, const std::vector<platform::Uuid>&)> onSelection;
    // The user's edits and their undo, kept by whoever shows the pane; an
    // edit without `onEdit` goes straight to the store, and cannot be undone.
    std::function<void(const Block&, const std::string&, const std::string&, std::optional<int>)>
        onEdit;
    std::function<void()> onUndo, onRedo;
    std::function<bool()> canUndo, canRedo;
    std::function<void(const std::string& why)> onRefused;
};

// Services the pane takes from its surroundings, replaceable in tests.
struct TimelinePaneServices {
    const platform::Clock* clock = &platform::Clock::system();
    Pasteboard* pasteboard = nullptr;         // null: the system clipboard
    std::shared_ptr<DebugRecorder> recorder;  // null: no "visible" events
};

class TimelinePaneModel {
  public:
    static constexpr double kIdleSeconds = 30;
    static inline const char* const kLiveText = "\u2026";

    // Watches the store's isSpeaking and preview; `onChange` is called after
    // every change of what the pane shows, so the widget can render again.
    TimelinePaneModel(TimelinePaneInputs inputs, TimelinePaneServices services,
                      std::function<void()> onChange = {});
    TimelinePaneModel(const TimelinePaneModel&) = delete;
    TimelinePaneModel& operator=(const TimelinePaneModel&) = delete;

    // The id of the live paragraph and its segment, random once per process.
    static const platform::Uuid& liveID();

    void setInputs(TimelinePaneInputs inputs);
    const TimelinePaneInputs& inputs() const { return in_; }

    std::optional<Block> liveBlock() const;
    TimelineInputs textViewInputs();  // its callbacks act on this model
    ScrubberInputs scrubberInputs();

    // The button shows while the view is not at the end.
    bool buttonShown() const { return !atEnd_; }
    std::string buttonTitle() const { return in_.showsLive ? "Live" : "End"; }
    void buttonPressed();

    // Callbacks of the child views.
    void visibleChanged(std::optional<platform::Uuid> first, std::optional<platform::Uuid> last,
                        bool atBottom);
    void selectionChanged(std::pair<int, int> range, const std::vector<platform::Uuid>& ids);
    void userInteracted();
    void copyBlock(const platform::Uuid& id);
    void scrubberJumped(const platform::Uuid& id);
    // Puts the caret at `offset` in the paragraph `id` once the text shows it.
    void requestCaret(const platform::Uuid& id, int offset);

    const std::optional<platform::Uuid>& visibleFirst() const { return visibleFirst_; }
    const std::optional<platform::Uuid>& visibleLast() const { return visibleLast_; }
    bool atEnd() const { return atEnd_; }
    const TimelineInputs::Jump& jump() const { return jump_; }
    bool hasSelection() const { return hasSelection_; }

  private:
    void observe();
    void speakingChanged(bool speaking);
    void requestJump(std::optional<platform::Uuid> id);
    void changed();
    std::optional<platform::Uuid> withoutLive(std::optional<platform::Uuid> id) const;
    // The text view delivers reports on a later turn of the main queue, which
    // may come after the pane is gone; its callbacks reach the model only
    // while it lives.
    std::weak_ptr<TimelinePaneModel*> weakSelf() const { return self_; }

    TimelinePaneInputs in_;
    SectionTitles sections_;  // in_.sectionStarts, made once per change of the inputs
    TimelinePaneServices services_;
    std::function<void()> onChange_;
    std::optional<platform::Uuid> visibleFirst_, visibleLast_;
    bool atEnd_ = true;
    TimelineInputs::Jump jump_;
    TimelineInputs::Caret caret_;
    bool hasSelection_ = false;
    std::optional<platform::Date> lastInteraction_;  // none: the distant past
    bool lastSpeaking_ = false;
    platform::ObservationToken speakingToken_, previewToken_;
    std::shared_ptr<TimelinePaneModel*> self_ = std::make_shared<TimelinePaneModel*>(this);
};

}  // namespace verbolin
