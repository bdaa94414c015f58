#pragma once
// The tray item's menu and icon, without widgets. The menu is a tree of
// entries built afresh from the model's current state each time it opens;
// every chosen entry runs its closure with the model, so the widget layer
// only renders entries and forwards the choice.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "verbolin/listening/AudioCapture.hpp"
#include "verbolin/listening/TranscriptionEngine.hpp"
#include "verbolin/storage/Block.hpp"

namespace verbolin {

class AppModel;
class UserCalendar;

class TrayMenuModel {
  public:
    using Action = std::function<void(AppModel&)>;

    struct Entry {
        std::string title;
        std::string shortcut;         // as shown ("Ctrl+N"); empty for none
        std::optional<bool> checked;  // none: not checkable
        bool enabled = true;
        bool separator = false;
        Action action;  // empty: choosing it does nothing
        std::vector<Entry> submenu;
    };

    // What the menu cannot reach through the model.
    struct Services {
        std::function<void(const std::string&)> copy;                     // to the clipboard
        std::function<void()> quit;                                       // the one quit path
        std::function<std::vector<AudioCapture::Device>()> inputDevices;  // may throw
    };

    static constexpr size_t kRecentSegments = 60;
    static constexpr size_t kRecentParagraphs = 8;
    static constexpr size_t kTitleCharacters = 48;

    static std::vector<Entry> build(AppModel& model, const Services& services);

    // The themed icon name for the engine state.
    static std::string iconName(const TranscriptionEngine::ModelState& state, bool isRecording);
    static std::string statusLine(const TranscriptionEngine::ModelState& state, bool isRecording);

    // "time␠␠text", line feeds as spaces, long texts cut to 48 characters
    // and "…" (characters, not bytes: a cut never splits one).
    static std::string recentTitle(const Block& block, const UserCalendar& calendar);

    static std::vector<Entry> recentMenu(AppModel& model, const Services& services);
    static std::vector<Entry> microphoneMenu(AppModel& model, const Services& services);
    // The newest day's paragraphs; none when the transcript is empty.
    static std::optional<std::string> todayText(AppModel& model);
};

}  // namespace verbolin
