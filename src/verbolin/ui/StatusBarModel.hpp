#pragma once
// What the editor's status bar shows, without widgets: the engine state on
// the leading side and, on the trailing side, the first of word changes at
// the caret, the copy confirmation, the selection count, or the hint.

#include <optional>
#include <string>
#include <vector>

#include "platform/system/Date.hpp"
#include "verbolin/listening/TranscriptionEngine.hpp"
#include "verbolin/storage/Block.hpp"

namespace verbolin {

class StatusBarModel {
  public:
    using ModelState = TranscriptionEngine::ModelState;

    // How long "Paragraph copied" stays, in seconds.
    static constexpr double kCopiedSeconds = 2.0;

    struct Leading {
        ModelState::Kind kind;
        std::string text;
        bool spinner = false;   // loading
        bool warning = false;   // failed: the yellow triangle and "Retry"
        bool dot = false;       // ready
        bool dotGreen = false;  // ready and recording
        bool notSaved = false;  // the warning sign, without "Retry"
        // For the tooltip, translated: what "Not saved" means for the text.
        const char* help = nullptr;
        // More for the tooltip, verbatim: why the transcript is not saved,
        // the notice in full.
        std::string details;
    };

    // Follows the state's text while some change to the transcript lives
    // only in memory (a full disk, a read-only or locked file).
    static constexpr const char* kNotSaved = "Not saved";
    static constexpr const char* kNotSavedHelp =
        "The transcript cannot be written to disk just now. What you say and edit is kept and "
        "saved as soon as that works again.";
    // When another program holds the transcript.
    static constexpr const char* kNotSavedHeldHelp =
        "Another program holds the transcript just now. What you say and edit is kept and "
        "saved as soon as it lets go.";
    // When no recovery file can be written either.
    static constexpr const char* kNotSavedInMemoryHelp =
        "The transcript cannot be written to disk just now, nor kept anywhere else. What you say "
        "and edit is held in memory only and lost if Verbolin stops; it is saved as soon as "
        "writing works again.";

    // How long a notice of the editor's (an undo that changed a paragraph
    // not shown, or that could not be made) stays, in seconds.
    static constexpr double kNoticeSeconds = 6.0;

    enum class TrailingKind { notice, wordDiff, copied, selection, hint };
    struct Trailing {
        TrailingKind kind;
        std::string text;    // empty for the word diff
        std::string before;  // word diff only
        std::string after;
    };

    // Said after a notice, in the bar; the notice itself goes to the tooltip.
    static constexpr const char* kSettingsReset = "Settings reset";

    // A failure as the window words it: the engine's message, followed by
    // what to do where retrying alone does not help.
    static std::string failureText(const std::string& message);

    // `saveProblem`: the file that could not be written and the system's
    // reason; `settingsNotice`: that the settings were reset, said once;
    // `memoryOnly`: what is not saved could be kept in no file either.
    static Leading leading(const ModelState& state, bool isRecording, bool notSaved = false,
                           const std::string& saveProblem = {},
                           const std::string& settingsNotice = {}, bool memoryOnly = false);

    // The one selected paragraph whose text differs from its original.
    static std::optional<Block> editedBlockAtCaret(const std::vector<Block>& selected);

    // A notice given at `noticeAt` comes first while it lasts.
    static Trailing trailing(const std::vector<Block>& selected, bool hasSelection,
                             std::optional<platform::Date> copiedAt, platform::Date now,
                             const std::string& notice = {},
                             std::optional<platform::Date> noticeAt = std::nullopt);

    static std::string selectionText(size_t count);
};

}  // namespace verbolin
