#include "verbolin/ui/TrayMenuModel.hpp"

#include <algorithm>

#include "verbolin/app/AppModel.hpp"
#include "verbolin/ui/ParagraphText.hpp"

namespace verbolin {

namespace {

using Kind = TranscriptionEngine::ModelState::Kind;

TrayMenuModel::Entry item(std::string title, TrayMenuModel::Action action,
                          std::string shortcut = {}) {
    TrayMenuModel::Entry e;
    e.title = std::move(title);
    e.shortcut = std::move(shortcut);
    e.action = std::move(action);
    return e;
}

TrayMenuModel::Entry separator() {
    TrayMenuModel::Entry e;
    e.separator = true;
    return e;
}

// Byte length of the first `count` UTF-8 characters; continuation bytes
// never start a character, so malformed input still ends on a boundary.
size_t prefixBytes(const std::string& text, size_t count) {
    size_t i = 0;
    for (size_t chars = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars++ == count) break;
    }
    return i;
}

}  // namespace

std::string TrayMenuModel::iconName(const TranscriptionEngine::ModelState& state,
                                    bool isRecording) {
    switch (state.kind) {
        case Kind::loading:
            return "ellipsis.circle";
        case Kind::failed:
            return "exclamationmark.triangle";
        case Kind::idle:
            return "mic";
        case Kind::ready:
            return isRecording ? "waveform" : "mic.slash";
    }
    return "mic";
}

std::string TrayMenuModel::statusLine(const TranscriptionEngine::ModelState& state,
                                      bool isRecording) {
    switch (state.kind) {
        case Kind::loading:
            return state.message;
        case Kind::failed:
            return "Error: " + state.message;
        case Kind::idle:
            return "Idle";
        case Kind::ready:
            return isRecording ? "Listening" : "Paused";
    }
    return {};
}

std::string TrayMenuModel::recentTitle(const Block& block, const UserCalendar& calendar) {
    std::string text = block.text();
    std::replace(text.begin(), text.end(), '\n', ' ');
    const size_t cut = prefixBytes(text, kTitleCharacters);
    if (cut < text.size()) text = text.substr(0, cut) + "…";
    const auto time =
        block.segments.empty() ? std::string() : calendar.shortTime(block.segments.front().start);
    return time + "  " + text;
}

std::vector<TrayMenuModel::Entry> TrayMenuModel::recentMenu(AppModel& model,
                                                            const Services& services) {
    const auto& all = model.store().segments.get();
    const auto from = all.size() > kRecentSegments ? all.end() - kRecentSegments : all.begin();
    const auto blocks = TranscriptStore::blocks(std::vector<Segment>(from, all.end()),
                                                TranscriptStore::paragraphGap);
    if (blocks.empty()) {
        Entry none;
        none.title = "Nothing yet";
        none.enabled = false;
        return {none};
    }
    std::vector<Entry> entries;
    for (auto it = blocks.rbegin(); it != blocks.rend() && entries.size() < kRecentParagraphs; ++it)
        entries.push_back(item(recentTitle(*it, model.store().calendar()),
                               [copy = services.copy, text = it->text()](AppModel&) {
                                   if (copy) copy(text);
                               }));
    return entries;
}

std::optional<std::string> TrayMenuModel::todayText(AppModel& model) {
    const auto days = model.store().days();
    if (days.empty()) return std::nullopt;
    return paragraphText(model.store().segmentsOn(days.front()));
}

std::vector<TrayMenuModel::Entry> TrayMenuModel::microphoneMenu(AppModel& model,
                                                                const Services& services) {
    const auto stored = model.defaults().string(Defaults::kInputDevice);
    std::vector<Entry> entries;
    entries.push_back(item("Automatic (built-in mic)",
                           [](AppModel& m) { m.engine().setInputDeviceName(std::nullopt); }));
    entries.back().checked = !stored.has_value();
    std::vector<AudioCapture::Device> devices;
    try {
        if (services.inputDevices) devices = services.inputDevices();
    } catch (const std::exception&) {
        // A failed device query leaves the automatic choice alone.
    }
    for (const auto& d : devices) {
        entries.push_back(
            item(d.name, [name = d.name](AppModel& m) { m.engine().setInputDeviceName(name); }));
        entries.back().checked = stored && *stored == d.name;
    }
    return entries;
}

std::vector<TrayMenuModel::Entry> TrayMenuModel::build(AppModel& model, const Services& services) {
    auto& engine = model.engine();
    std::vector<Entry> menu;
    menu.push_back(item(
        "Open Verbolin", [](AppModel& m) { m.showWindow(); }, "Ctrl+Alt+Space"));
    menu.push_back(item(
        "New Session",
        [](AppModel& m) {
            m.store().startSession(std::nullopt);
            m.showWindow();
        },
        "Ctrl+N"));
    menu.push_back(separator());

    menu.push_back(item("Listen in Background", [](AppModel& m) {
        m.defaults().setBool(Defaults::kAlwaysListen, !m.alwaysListen());
        m.applyListening();
    }));
    menu.back().checked = model.alwaysListen();
    menu.push_back(item("Always on Top", [](AppModel& m) {
        const bool onTop = !m.defaults().boolean(Defaults::kAlwaysOnTop).value_or(false);
        m.defaults().setBool(Defaults::kAlwaysOnTop, onTop);
        if (auto window = m.mainWindow()) {
            window->setLevel(onTop ? WindowHost::kFloatingLevel : WindowHost::kNormalLevel);
            window->setCollectionBehavior(
                onTop ? WindowHost::kCanJoinAllSpaces | WindowHost::kFullScreenAuxiliary : 0);
        }
    }));
    menu.back().checked = model.defaults().boolean(Defaults::kAlwaysOnTop).value_or(false);
    menu.push_back(item("Live Preview", [](AppModel& m) {
        m.engine().livePreview.set(!m.engine().livePreview.get());
    }));
    menu.back().checked = engine.livePreview.get();
    menu.push_back(separator());

    menu.push_back(item("Recent (click to copy)", {}));
    menu.back().submenu = recentMenu(model, services);
    menu.push_back(item("Copy Today", [copy = services.copy](AppModel& m) {
        if (auto text = todayText(m); text && copy) copy(*text);
    }));
    menu.push_back(separator());

    menu.push_back(item("Microphone", {}));
    menu.back().submenu = microphoneMenu(model, services);
    menu.push_back(separator());

    menu.push_back(item(statusLine(engine.modelState.get(), engine.isRecording.get()), {}));
    menu.back().enabled = false;
    menu.push_back(item(
        "Quit Verbolin",
        [quit = services.quit](AppModel&) {
            if (quit) quit();
        },
        "Ctrl+Q"));
    return menu;
}

}  // namespace verbolin
