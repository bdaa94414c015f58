#include <gtest/gtest.h>

#include "verbolin/ui/StatusBarModel.hpp"

using namespace verbolin;
using Kind = StatusBarModel::TrailingKind;
using State = TranscriptionEngine::ModelState;

namespace {

Block block(std::string text, std::optional<std::string> original = std::nullopt) {
    Segment s;
    s.text = std::move(text);
    s.edited = original.has_value();
    s.original = std::move(original);
    return Block{platform::Uuid::random(), {s}};
}

}  // namespace

TEST(StatusBarModel, TrailingRowPriority) {
    const auto now = platform::dateFromSecondsSince1970(1000);
    const auto ago = [&](double s) {
        return std::optional(now - std::chrono::duration_cast<platform::Date::duration>(
                                       std::chrono::duration<double>(s)));
    };
    const auto edited = block("new words", "old words");
    const auto unchanged = block("same", "same");
    const auto plain = block("plain");
    struct Case {
        std::vector<Block> selected;
        bool hasSelection;
        std::optional<platform::Date> copiedAt;
        Kind kind;
        std::string text;
    } cases[] = {
        {{edited}, true, ago(0.1), Kind::wordDiff, ""},
        {{edited, plain},
         true,
         {},
         Kind::selection,
         "2 paragraphs selected · Ctrl+C copies · Ctrl+Backspace deletes"},
        {{unchanged},
         true,
         {},
         Kind::selection,
         "1 paragraph selected · Ctrl+C copies · Ctrl+Backspace deletes"},
        {{plain}, true, ago(1.9), Kind::copied, "Paragraph copied"},
        {{plain},
         true,
         ago(2.0),
         Kind::selection,
         "1 paragraph selected · Ctrl+C copies · Ctrl+Backspace deletes"},
        {{},
         true,
         {},
         Kind::selection,
         "0 paragraphs selected · Ctrl+C copies · Ctrl+Backspace deletes"},
        {{},
         false,
         ago(5),
         Kind::hint,
         "Click to edit · click a time to copy its paragraph · Ctrl+N new session"},
    };
    for (const auto& c : cases) {
        auto t = StatusBarModel::trailing(c.selected, c.hasSelection, c.copiedAt, now);
        EXPECT_EQ(t.kind, c.kind) << c.text;
        EXPECT_EQ(t.text, c.text);
    }
    auto diff = StatusBarModel::trailing({edited}, false, {}, now);
    EXPECT_EQ(diff.before, "old words");
    EXPECT_EQ(diff.after, "new words");
}

TEST(StatusBarModel, LeadingByEngineState) {
    struct Case {
        State state;
        bool recording;
        std::string text;
        bool spinner, warning, dot, green;
    } cases[] = {
        {State::loading("Loading model 40%"), false, "Loading model 40%", true, false, false,
         false},
        {State::failed("no model"), true, "no model", false, true, false, false},
        // Retry alone brings no server back: how to start one is said too.
        {State::failed("Cannot connect to the audio server: Connection refused"), false,
         "Cannot connect to the audio server: Connection refused. Start one with \"pulseaudio "
         "--start\", or on a PipeWire desktop with \"systemctl --user start pipewire-pulse\" "
         "(PULSE_SERVER names another server), then press Retry.",
         false, true, false, false},
        // Gone while listening: it comes back with the server, no Retry.
        {State::failed(TranscriptionEngine::microphoneLostMessage(
             "Cannot connect to the audio server: Connection refused")),
         true,
         "The microphone is unavailable (Cannot connect to the audio server: Connection "
         "refused). Start one with \"pulseaudio --start\", or on a PipeWire desktop with "
         "\"systemctl --user start pipewire-pulse\" (PULSE_SERVER names another server); "
         "listening resumes when it is back.",
         false, true, false, false},
        {State::idle(), true, "Idle", false, false, false, false},
        {State::ready(), true, "Listening", false, false, true, true},
        {State::ready(), false, "Paused", false, false, true, false},
    };
    for (const auto& c : cases) {
        auto l = StatusBarModel::leading(c.state, c.recording);
        EXPECT_EQ(l.text, c.text);
        EXPECT_EQ(std::tuple(l.spinner, l.warning, l.dot, l.dotGreen),
                  std::tuple(c.spinner, c.warning, c.dot, c.green))
            << c.text;
    }
}

// Unsaved changes add "Not saved" and the warning sign to every state, but
// never "Retry", which reloads the model.
TEST(StatusBarModel, NotSavedFollowsEveryStateWithTheWarningSign) {
    const struct {
        State state;
        bool recording;
        std::string text;
        bool warning;
    } cases[] = {
        {State::loading("Loading model 40%"), false, "Loading model 40% · Not saved", false},
        {State::failed("no model"), false, "no model · Not saved", true},
        {State::idle(), false, "Idle · Not saved", false},
        {State::ready(), true, "Listening · Not saved", false},
        {State::ready(), false, "Paused · Not saved", false},
    };
    for (const auto& c : cases) {
        const auto l = StatusBarModel::leading(c.state, c.recording, true);
        EXPECT_EQ(l.text, c.text);
        EXPECT_TRUE(l.notSaved) << c.text;
        EXPECT_EQ(l.warning, c.warning) << c.text;
        EXPECT_FALSE(StatusBarModel::leading(c.state, c.recording, false).notSaved) << c.text;
    }
}

// The tooltip's details: which file could not be written and why, and the
// settings notice in full, whose short form follows the state in the bar.
// Its help says what becomes of the text: kept, or, when no recovery file
// can be written either, held in memory only.
TEST(StatusBarModel, DetailsNameTheFileTheReasonAndTheNotice) {
    const std::string problem =
        "/data/Verbolin/transcript.sqlite: attempt to write a readonly "
        "database (Read-only file system)";
    const std::string notice = "Settings reset: /c/settings.json could not be read (not a file).";
    const char* const kept = "is kept and saved";
    const char* const lost = "held in memory only and lost if";
    const std::string held =
        "/data/Verbolin/transcript.sqlite: another program holds the transcript (database is "
        "locked)";
    const struct {
        bool notSaved;
        std::string problem, notice, text, details;
        const char* help;  // a part of it; null: the tooltip has no help text
        bool memoryOnly = false;
    } cases[] = {
        {true, problem, "", "Listening · Not saved", problem, kept},
        // Saved again: neither the old reason nor what "Not saved" means is shown.
        {false, problem, "", "Listening", "", nullptr},
        {false, "", notice, "Listening · Settings reset", notice, nullptr},
        {true, problem, notice, "Listening · Not saved · Settings reset", problem + "\n" + notice,
         kept},
        {true, problem, "", "Listening · Not saved", problem, lost, true},
        {true, held, "", "Listening · Not saved", held, "Another program holds the transcript"},
    };
    for (const auto& c : cases) {
        const auto l = StatusBarModel::leading(State::ready(), true, c.notSaved, c.problem,
                                               c.notice, c.memoryOnly);
        EXPECT_EQ(l.text, c.text);
        EXPECT_EQ(l.details, c.details) << c.text;
        if (!c.help) {
            EXPECT_EQ(l.help, nullptr) << c.text << ": " << l.help;
            continue;
        }
        ASSERT_NE(l.help, nullptr) << c.text;
        EXPECT_NE(std::string(l.help).find(c.help), std::string::npos) << c.text;
    }
}

TEST(StatusBarModel, HintsNameTheKeysAsThisDesktopWritesThem) {
    // Whatever the count or row, a hint never shows another desktop's key
    // glyphs (command, option, erase-left), only words such as "Ctrl".
    const platform::Date now = std::chrono::system_clock::now();
    std::vector<std::string> texts;
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(20000)})
        texts.push_back(StatusBarModel::selectionText(n));
    texts.push_back(StatusBarModel::trailing({}, false, {}, now).text);
    for (const std::string& t : texts) {
        for (const char* glyph : {"\u2318", "\u2325", "\u232B", "\u2303"})
            EXPECT_EQ(t.find(glyph), std::string::npos) << t;
        EXPECT_NE(t.find("Ctrl+"), std::string::npos) << t;
    }
}
