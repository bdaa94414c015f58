#pragma once
// The editor window's state and rules, without widgets: which part of the
// transcript is shown (the scope), the search text, the timeline's selection
// and the last paragraph copy, and what follows from them: the paragraphs
// shown, whether they end live, the placeholder text, the listening button,
// and the window options kept in the settings. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/storage/SessionItem.hpp"
#include "verbolin/ui/ParagraphEditor.hpp"

namespace verbolin {

class AppModel;

class EditorModel {
  public:
    static constexpr const char* kAllScope = "all";
    static constexpr double kDefaultFontSize = 26;
    static constexpr double kMinFontSize = 14;
    static constexpr double kMaxFontSize = 64;
    static constexpr double kParagraphGap = 3.0;

    explicit EditorModel(AppModel& model);
    EditorModel(const EditorModel&) = delete;
    EditorModel& operator=(const EditorModel&) = delete;

    // The sidebar writes the scope through this reference.
    std::string scope = kAllScope;
    std::string search;
    std::pair<int, int> selectedRange{0, 0};  // (location, length)
    std::vector<platform::Uuid> selectedIDs;

    // The open session becomes the scope, when there is one.
    void onAppear();

    std::optional<SessionItem> currentItem() const;
    // The scope's sidebar entry while its only paragraph is held emptied:
    // it stays, and stays chosen, until the caret leaves the paragraph.
    // None while the transcript holds the entry, or nothing holds it.
    std::optional<SessionItem> keptItem() const;
    // The paragraph being edited is among them, in its place, while held.
    std::vector<Block> scopedBlocks() const;
    // The same paragraphs, shared: unscoped and unsearched they are the
    // store's own array, which is never copied while it holds the paragraph
    // being edited.
    std::shared_ptr<const std::vector<Block>> sharedScopedBlocks() const;
    bool scopeIsLive() const;
    // A search typed in All shows its newest matches first: the rest come
    // with searchFurther(), which the window calls once that has been drawn.
    // More than the view's first page holds, so that the paragraph in front
    // of that page, which its spacing follows, is among them.
    static constexpr size_t kFirstMatches = 16;
    bool searchIsPartial() const { return partial_; }
    // Reads the stretch before what a search shown partially has read, of
    // about stepMatches matches: years of them are read between keys
    // rather than holding one up. Once the oldest is read, every match is
    // shown (done); more when some are left to read. None, changing
    // nothing, when no search is partial, or another search or scope is
    // asked for (the refresh it asked for reads that one). A transcript
    // changed meanwhile is read whole at once.
    enum class SearchStep { none, more, done };
    static constexpr size_t kStepMatches = 4096;
    size_t stepMatches = kStepMatches;
    SearchStep searchFurther();
    std::vector<Block> selectedBlocks() const;
    // One sentence; for a failure, one of the three below, and the status
    // bar says the failure itself.
    std::string placeholder() const;
    // No model loaded, or the last load failed (an earlier one kept).
    static constexpr const char* kModelFailed =
        "The speech model could not be loaded. See the status bar to retry.";
    // The model loaded, and then the capture stopped.
    static constexpr const char* kListeningFailed =
        "Listening stopped. See the status bar to retry.";
    // The model loaded and listening goes on, but an utterance failed.
    static constexpr const char* kDecodeFailed =
        "Speech could not be transcribed. See the status bar to retry.";
    // The timeline (with the search field) is shown, else the placeholder.
    bool showsTimeline() const;
    bool hasSelection() const { return selectedRange.second > 0; }

    // The user's edits, the paragraph being edited and the undo history:
    // the window's, whichever view and search it shows.
    ParagraphEditor& edits() { return edits_; }
    const ParagraphEditor& edits() const { return edits_; }

    // Deletes the paragraphs the selection touches in this scope and clears
    // the selection; returns false, changing nothing, when there are none.
    bool deleteSelection();
    // Starts an unnamed session now and shows it.
    void newSession();

    // The copy confirmation. Each copy shows for its own two seconds: the
    // timer of an earlier copy ends without clearing a later one.
    std::optional<platform::Date> copiedAt() const { return copiedAt_; }
    void copied(platform::Date now) { copiedAt_ = now; }
    // Called when the timer of the copy made at `startedWith` ends.
    void copyTimerEnded(platform::Date startedWith) {
        if (copiedAt_ == startedWith) copiedAt_.reset();
    }

    // The toolbar's listening button.
    struct ListenButton {
        std::string title;
        std::string symbol;
        std::string help;
        bool enabled = false;
    };
    ListenButton listenButton() const;
    // Flips the stored "alwaysListen" preference and applies it.
    void toggleListening();

    bool alwaysOnTop() const;
    // Stores the option, then applies what is stored to the window, if any.
    void setAlwaysOnTop(bool on);

    double fontSize() const;
    // Stores the size, held to the slider's range; returns what was stored.
    double setFontSize(double size);

  private:
    // `blocks` with the held paragraph put in its place by time, when it is
    // not among them.
    std::vector<Block> withHeld(std::vector<Block> blocks) const;
    bool missesHeld(const std::vector<Block>& blocks) const;
    // The scope's item as the transcript holds it now.
    std::optional<SessionItem> storedItem() const;
    // The paragraphs of the scope and search, without the held one: made
    // once for each scope, search and state of the transcript, however
    // often the window asks (every key, every selection).
    std::shared_ptr<const std::vector<Block>> unheldBlocks() const;

    AppModel& model_;
    ParagraphEditor edits_;
    std::optional<platform::Date> copiedAt_;

    struct ShownKey {
        std::optional<SessionItem> item;
        std::string query;
        std::uint64_t generation = 0;
        bool unsaved = false;  // the search reads memory for what the file lacks
        bool operator==(const ShownKey&) const = default;
    };
    mutable std::optional<ShownKey> shownFor_;
    mutable std::shared_ptr<const std::vector<Block>> shown_;
    mutable bool partial_ = false;  // shown_ holds only the newest matches
    // What a partial search has read: the matches among the paragraphs
    // from `from` on, a stretch at a time, the newest first; and how many
    // matches a paragraph read holds.
    struct Reading {
        size_t from = 0;
        std::vector<std::vector<size_t>> stretches;
        double density = 1;
    };
    mutable Reading reading_;
    mutable std::optional<std::pair<std::string, std::uint64_t>> itemFor_;  // scope, generation
    mutable std::optional<SessionItem> item_;
};

}  // namespace verbolin
