#pragma once
// Everything the session sidebar shows and does, without widgets: the day
// groups, the texts of each row, the context entries a row offers, and the
// rename, merge and copy actions on the store and the editor's scope.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/Date.hpp"
#include "verbolin/storage/SessionItem.hpp"

namespace verbolin {

class TranscriptStore;

class SidebarModel {
  public:
    static constexpr const char* kAllScope = "all";

    struct Day {
        platform::Date day;  // start of the calendar day
        std::vector<SessionItem> items;
    };

    struct Row {
        std::string firstLine;
        std::string secondLine;
        bool isCurrent = false;            // open session: the green dot
        std::vector<std::string> entries;  // context-menu titles, in order
    };

    static constexpr const char* kRename = "Rename…";
    static constexpr const char* kMerge = "Merge into Previous Session";
    static constexpr const char* kCopy = "Copy Session Text";

    // `scope` is the editor's; it must outlive the model.
    SidebarModel(TranscriptStore& store, std::string& scope) : store_(store), scope_(scope) {}

    // An entry shown though the transcript no longer holds it (the editor's
    // scope while its only paragraph is being edited, emptied).
    std::function<std::optional<SessionItem>()> kept;

    // Days newest first; each day's items newest first. An item belongs to
    // the day of its first words, falling back to its own start.
    std::vector<Day> sessionDays() const;
    // The kept entry, unless the transcript lists it already, and the day
    // it is listed under.
    std::optional<SessionItem> keptItem() const;
    platform::Date keptDay(const SessionItem& item) const;
    Row row(const SessionItem& item) const;
    bool isEmpty() const;

    // The rename dialog: open for one session, then save or cancel.
    void beginRename(const SessionItem& item);
    const std::optional<SessionItem>& renaming() const { return renaming_; }
    std::string renameText;
    void saveRename();
    void cancelRename() { renaming_.reset(); }

    // Day items cannot be merged; merging the selected session selects "all".
    void merge(const SessionItem& item);
    std::string copyText(const SessionItem& item) const;

  private:
    TranscriptStore& store_;
    std::string& scope_;
    std::optional<SessionItem> renaming_;
};

}  // namespace verbolin
