#include "verbolin/ui/StatusBarModel.hpp"

#include <algorithm>
#include <string_view>

#include "verbolin/app/AudioServerHelp.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/ui/KeyShortcuts.hpp"

namespace verbolin {

std::string StatusBarModel::failureText(const std::string& message) {
    if (message.find(AudioServerHelp::kNoServer) == std::string::npos) return message;
    // Retrying alone will not bring a server that is not running. Where the
    // microphone went with the server, listening comes back by itself once
    // one runs: that is said instead of Retry, and once.
    const std::string_view resumes = TranscriptionEngine::kResumesWhenBack;
    std::string cause = message;
    const bool byItself = cause.ends_with(resumes);
    if (byItself) cause.resize(cause.size() - resumes.size());
    if (cause.ends_with('.')) cause.pop_back();
    return cause + ". " + AudioServerHelp::kHowToStart +
           (byItself ? std::string(resumes) : std::string(", then press Retry."));
}

StatusBarModel::Leading StatusBarModel::leading(const ModelState& state, bool isRecording,
                                                bool notSaved, const std::string& saveProblem,
                                                const std::string& settingsNotice,
                                                bool memoryOnly) {
    using K = ModelState::Kind;
    Leading l;
    l.kind = state.kind;
    switch (state.kind) {
        case K::loading:
            l.spinner = true;
            l.text = state.message;
            break;
        case K::failed:
            l.warning = true;
            l.text = failureText(state.message);
            break;
        case K::idle:
            l.text = "Idle";
            break;
        case K::ready:
            l.dot = true;
            l.dotGreen = isRecording;
            l.text = isRecording ? "Listening" : "Paused";
            break;
    }
    const auto add = [&l](const char* part) {
        l.text += l.text.empty() ? part : std::string(" · ") + part;
    };
    if (notSaved) {
        l.notSaved = true;
        add(kNotSaved);
        const bool held =
            saveProblem.find(TranscriptDB::kHeldByAnotherProgram) != std::string::npos;
        l.help = memoryOnly ? kNotSavedInMemoryHelp : held ? kNotSavedHeldHelp : kNotSavedHelp;
        if (!saveProblem.empty()) l.details = saveProblem;
    }
    if (!settingsNotice.empty()) {
        add(kSettingsReset);
        l.details += (l.details.empty() ? "" : "\n") + settingsNotice;
    }
    return l;
}

std::optional<Block> StatusBarModel::editedBlockAtCaret(const std::vector<Block>& selected) {
    if (selected.size() != 1) return std::nullopt;
    const auto& block = selected.front();
    const bool edited = std::any_of(block.segments.begin(), block.segments.end(),
                                    [](const Segment& s) { return s.edited; });
    const auto original = block.original();
    if (!edited || !original || *original == block.text()) return std::nullopt;
    return block;
}

std::string StatusBarModel::selectionText(size_t count) {
    return std::to_string(count) + " paragraph" + (count == 1 ? "" : "s") + " selected · " +
           KeyShortcuts::text(KeyShortcuts::copy()) + " copies · " +
           KeyShortcuts::text(KeyShortcuts::deleteSelection()) + " deletes";
}

StatusBarModel::Trailing StatusBarModel::trailing(const std::vector<Block>& selected,
                                                  bool hasSelection,
                                                  std::optional<platform::Date> copiedAt,
                                                  platform::Date now, const std::string& notice,
                                                  std::optional<platform::Date> noticeAt) {
    if (!notice.empty() && noticeAt && platform::secondsBetween(*noticeAt, now) < kNoticeSeconds)
        return {TrailingKind::notice, notice, {}, {}};
    if (auto block = editedBlockAtCaret(selected))
        return {TrailingKind::wordDiff, {}, *block->original(), block->text()};
    if (copiedAt && platform::secondsBetween(*copiedAt, now) < kCopiedSeconds)
        return {TrailingKind::copied, "Paragraph copied", {}, {}};
    if (hasSelection) return {TrailingKind::selection, selectionText(selected.size()), {}, {}};
    return {TrailingKind::hint,
            "Click to edit · click a time to copy its paragraph · " +
                KeyShortcuts::text(KeyShortcuts::newSession()) + " new session",
            {},
            {}};
}

}  // namespace verbolin
