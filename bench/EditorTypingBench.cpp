// Keys typed in the editor window, the whole way a key goes: the text
// edit's document, the timeline's mapping of the change to its paragraph,
// the paragraph editor and the transcript (its file and search index
// included), the timeline given the paragraphs anew, and the status bar's
// word diff of the paragraph. A word (" spoken", seven keys) is typed at the
// end of a paragraph and taken back with one Ctrl+Z, in a paragraph of 250
// characters and in one of 25,000 of the same timeline: a key should cost
// about the same in both. "ms_per_key" is the time of one key, the undo
// counted as one. The same in a timeline of 20,000 paragraphs ("before"),
// where a key should cost about what it does in a short one. Runs offscreen.
//
// BM_OpenBesideAHugeParagraph opens a window on a timeline holding a
// paragraph of 4 MiB ("huge" 1) or not (0): "ms_first_frame" from making the
// window to its first frame laid out and painted, "ms_all_shown" until no
// older text is pending; then a word is typed (and undone) in the short
// paragraph right after it, "ms_per_key" as above.
//
// BM_PasteUnbrokenText pastes `units` characters without a space at the end
// of a short paragraph: "ms_to_stored" until the transcript holds them,
// "ms_shown" until the paste has been handled (the paragraph shown, in part
// past 200,000 units); then a word is typed at the end of that paragraph
// ("ms_per_key_after", refused keys where it is shown in part) and in a
// short paragraph ("ms_per_key_short"), each with its undo. Goals: stored
// within 1 s, a key after it within 3 × one in the short paragraph.
//
// BM_FontChangeBesideLongParagraphs opens a window on 30 paragraphs of
// 300,000 characters of words and takes the text size slider to its largest
// ("to" 1) or one step up ("to" 0): "ms_first_frame" from the change to its
// first frame painted, "ms_all_restyled" until no text is left in the old
// size. Goal: the first frame within 1 s.
//
// BM_SelectAndClearParagraph selects one paragraph ("text" 0: 2,500
// characters of words; 1: 100,000 letters without a space; 2: 150,000
// U+27FF at the largest text size) by a triple-click ("by" 0), Ctrl+A (1),
// Shift+End from its start (2) or a drag of 200 mouse moves from its start
// to the view's bottom (3), then takes the selection back with a
// key ("ms_select", "ms_unselect"), then selects it again and clears it
// with Backspace ("ms_clear"), undone after. The status bar follows every
// one of these; with "edited" 1 a word was typed at the paragraph's end
// first, so that it shows the paragraph's word diff.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build -j4 --target bench_EditorTypingBench
//   build/bench_EditorTypingBench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSlider>
#include <QTextCursor>
#include <QTextEdit>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "OffscreenApp.hpp"
#include "support/FakeAudioBackend.hpp"
#include "support/FakeSpeechEngine.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/settings/MemoryDefaults.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

using namespace verbolin;

namespace {

constexpr const char* kWord = " spoken";

void settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

// Ordinary dictated sentences, `length` characters or a little more.
std::string sentences(size_t length, int seed) {
    static const char* words[] = {"the",   "meeting", "moved", "to",   "Thursday", "because",
                                  "half",  "of",      "us",    "were", "away",     "and",
                                  "notes", "from",    "last",  "week", "still",    "matter"};
    std::string out;
    for (size_t i = size_t(seed); out.size() < length; ++i) {
        if (!out.empty()) out += ' ';
        out += words[(i * 7) % std::size(words)];
        if (i % 11 == 10) out += '.';
    }
    return out + '.';
}

struct World {
    testsupport::TempDir tmp{"verbolin-bench"};
    QtMainExecutor main;
    MemoryDefaults defaults;
    std::unique_ptr<AppModel> model;
    MemoryPasteboard pasteboard;
    std::unique_ptr<EditorWindow> window;
    platform::Uuid longId, shortId, besideId;
    std::vector<platform::Uuid> hugeIds;
    double firstFrameMs = 0, allShownMs = 0;

    explicit World(int before, size_t hugeBytes = 0, int hugeCount = 1)
        : World(before, hugeSentences(hugeBytes, hugeCount)) {}
    // `huge` stands between the paragraphs before and after; `fontSize` 0
    // keeps the default.
    World(int before, const std::vector<std::string>& huge, double fontSize = 0) {
        defaults.setBool(Defaults::kAlwaysListen, false);
        if (fontSize > 0) defaults.setNumber(Defaults::kFontSize, fontSize);
        AppModel::Services s;
        s.main = &main;
        s.defaults = &defaults;
        s.storeDirectory = tmp.path() / "store";
        s.engine = benchsupport::silentEngine();
        model = std::make_unique<AppModel>(std::move(s));
        fill(before, huge);
        using Ms = std::chrono::duration<double, std::milli>;
        const auto opening = std::chrono::steady_clock::now();
        window = std::make_unique<EditorWindow>(*model, main, pasteboard);
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->show();
        window->refresh();
        settle();
        window->grab();  // the first frame, painted
        firstFrameMs = Ms(std::chrono::steady_clock::now() - opening).count();
        settle();
        allShownMs = Ms(std::chrono::steady_clock::now() - opening).count();
    }
    ~World() {
        window.reset();
        model->engine().stopAndWait();
    }

    static std::vector<std::string> hugeSentences(size_t bytes, int count) {
        std::vector<std::string> out;
        for (int i = 0; bytes > 0 && i < count; ++i)
            out.push_back(sentences(bytes, i).substr(0, bytes));
        return out;
    }

    // A timeline of `before` short paragraphs, then the long one (one
    // utterance after another, a second apart), the `huge` ones, and short
    // ones after them.
    void fill(int before, const std::vector<std::string>& huge) {
        auto at = std::chrono::system_clock::now() - std::chrono::hours(5);
        const auto add = [&](const std::string& text, std::chrono::seconds pause) {
            Segment s;
            s.start = at;
            s.end = at + std::chrono::seconds(4);
            s.text = text;
            model->store().append(s);
            at = s.end + pause;
            return s.id;
        };
        for (int i = 0; i < before; ++i) add(sentences(120, i), std::chrono::minutes(2));
        for (int i = 0; i < 100; ++i) {
            const platform::Uuid id = add(sentences(249, i), std::chrono::seconds(1));
            if (i == 0) longId = id;
        }
        at += std::chrono::minutes(2);
        for (const std::string& text : huge) hugeIds.push_back(add(text, std::chrono::minutes(2)));
        for (int i = 0; i < 20; ++i) {
            const platform::Uuid id = add(sentences(249, i), std::chrono::minutes(2));
            if (i == 0) besideId = id;
            if (i == 10) shortId = id;
        }
    }

    TimelineTextView& view() { return window->pane()->textView(); }

    void caretAtEndOf(const platform::Uuid& id) { caretIn(id, true); }
    void caretIn(const platform::Uuid& id, bool atEnd) {
        const QString name = QString::fromStdString(id.string());
        for (int tries = 0; tries < 2; ++tries) {
            for (const ParagraphRange& r : view().ranges()) {
                if (r.id != name) continue;
                QTextCursor c = view().textEdit()->textCursor();
                c.setPosition(atEnd ? r.end() : r.location);
                view().textEdit()->setTextCursor(c);
                settle();
                return;
            }
            // Not held: brought in as a click on the scrubber brings it.
            window->pane()->model().scrubberJumped(id);
            finishSteps();
        }
        std::fprintf(stderr, "the paragraph is not shown\n");
        std::abort();
    }

    void key(Qt::Key k, Qt::KeyboardModifiers mods = {}, const QString& text = {}) {
        QWidget* edit = view().textEdit();
        QKeyEvent press(QEvent::KeyPress, k, mods, text);
        QApplication::sendEvent(edit, &press);
        QKeyEvent release(QEvent::KeyRelease, k, mods, text);
        QApplication::sendEvent(edit, &release);
        settle();  // the window follows each key before the next, as it does for the user
    }

    // Three clicks in quick succession at the caret.
    void tripleClickAtCaret() {
        QTextEdit* edit = view().textEdit();
        const QPointF at = edit->cursorRect().center();
        const QPointF global = edit->viewport()->mapToGlobal(at);
        const auto send = [&](QEvent::Type type, Qt::MouseButtons held) {
            QMouseEvent e(type, at, global, Qt::LeftButton, held, {});
            QApplication::sendEvent(edit->viewport(), &e);
        };
        for (int i = 0; i < 3; ++i) {
            send(i == 1 ? QEvent::MouseButtonDblClick : QEvent::MouseButtonPress, Qt::LeftButton);
            send(QEvent::MouseButtonRelease, Qt::NoButton);
        }
        settle();
    }

    // A press at the caret, `moves` steps of the mouse held down to the
    // bottom right of the text, each one turn of the loop, and the release.
    void dragFromCaret(int moves) {
        QTextEdit* edit = view().textEdit();
        QWidget* port = edit->viewport();
        const QPointF from = edit->cursorRect().center();
        const QPointF to(port->width() - 4, port->height() - 4);
        const auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButtons held) {
            QMouseEvent e(type, at, port->mapToGlobal(at),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held, {});
            QApplication::sendEvent(port, &e);
        };
        send(QEvent::MouseButtonPress, from, Qt::LeftButton);
        QPointF at = from;
        for (int i = 1; i <= moves; ++i) {
            at = from + (to - from) * (double(i) / moves);
            send(QEvent::MouseMove, at, Qt::LeftButton);
            QApplication::processEvents();
        }
        send(QEvent::MouseButtonRelease, at, Qt::NoButton);
        settle();
    }

    // Until no older text is pending and no text is left in an old size.
    void finishSteps() {
        while (view().restyling()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        settle();
    }

    void typeAndUndo() {
        for (const char* c = kWord; *c; ++c)
            key(*c == ' ' ? Qt::Key_Space : Qt::Key(QChar(*c).toUpper().unicode()), {},
                QString(QChar(*c)));
        key(Qt::Key_Z, Qt::ControlModifier);
    }
};

void BM_TypeAndUndoAtParagraphEnd(benchmark::State& state) {
    World w(int(state.range(1)));
    const platform::Uuid id = state.range(0) == 0 ? w.shortId : w.longId;
    w.view().textEdit()->setFocus();
    w.caretAtEndOf(id);
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) w.typeAndUndo();
    const std::chrono::duration<double, std::milli> spent =
        std::chrono::steady_clock::now() - started;
    const double keys = double(state.iterations()) * double(std::strlen(kWord) + 1);
    state.counters["ms_per_key"] = spent.count() / keys;
    for (const Block& b : *w.model->store().allBlocks())
        if (b.id == id) state.counters["chars"] = double(b.text().size());
}

void BM_OpenBesideAHugeParagraph(benchmark::State& state) {
    World w(100, state.range(0) ? size_t(4) << 20 : 0);
    w.view().textEdit()->setFocus();
    w.caretAtEndOf(w.besideId);
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) w.typeAndUndo();
    const std::chrono::duration<double, std::milli> spent =
        std::chrono::steady_clock::now() - started;
    state.counters["ms_per_key"] =
        spent.count() / (double(state.iterations()) * double(std::strlen(kWord) + 1));
    state.counters["ms_first_frame"] = w.firstFrameMs;
    state.counters["ms_all_shown"] = w.allShownMs;
}

double msPerKeyAtEndOf(World& w, const platform::Uuid& id, int words) {
    w.caretAtEndOf(id);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < words; ++i) w.typeAndUndo();
    const std::chrono::duration<double, std::milli> spent =
        std::chrono::steady_clock::now() - started;
    return spent.count() / (double(words) * double(std::strlen(kWord) + 1));
}

void BM_PasteUnbrokenText(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::duration<double, std::milli>;
    const int units = int(state.range(0));
    QString pasted;
    pasted.reserve(units);
    for (int i = 0; i < units; ++i) pasted += QChar(u'a' + i % 26);
    double toStored = 0, shown = 0, after = 0, beside = 0;
    for (auto _ : state) {
        World w(100);
        w.view().textEdit()->setFocus();
        w.caretAtEndOf(w.besideId);
        QApplication::clipboard()->setText(pasted);
        std::optional<Clock::time_point> stored;
        const auto token = w.model->store().segments.observe([&] {
            if (stored) return;
            for (const Segment& s : w.model->store().segments.peek())
                if (s.text.size() > size_t(units)) stored = Clock::now();
        });
        const auto started = Clock::now();
        w.key(Qt::Key_V, Qt::ControlModifier);
        shown += Ms(Clock::now() - started).count();
        if (!stored) {
            std::fprintf(stderr, "the paste was not stored\n");
            std::abort();
        }
        toStored += Ms(*stored - started).count();
        after += msPerKeyAtEndOf(w, w.besideId, 3);
        beside += msPerKeyAtEndOf(w, w.shortId, 3);
    }
    const double n = double(state.iterations());
    state.counters["ms_to_stored"] = toStored / n;
    state.counters["ms_shown"] = shown / n;
    state.counters["ms_per_key_after"] = after / n;
    state.counters["ms_per_key_short"] = beside / n;
}

void BM_FontChangeBesideLongParagraphs(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::duration<double, std::milli>;
    double firstFrame = 0, restyled = 0;
    for (auto _ : state) {
        World w(100, 300'000, 30);
        QSlider* slider = w.window->fontSlider();
        const auto started = Clock::now();
        slider->setValue(state.range(0) ? slider->maximum()
                                        : slider->value() + EditorWindow::kSliderScale);
        settle();
        w.window->grab();
        firstFrame += Ms(Clock::now() - started).count();
        w.finishSteps();
        restyled += Ms(Clock::now() - started).count();
    }
    const double n = double(state.iterations());
    state.counters["ms_first_frame"] = firstFrame / n;
    state.counters["ms_all_restyled"] = restyled / n;
}

std::vector<std::string> selectedParagraph(int64_t text) {
    std::string out;
    if (text == 0) return {sentences(2'500, 3)};
    if (text == 1) {
        for (int i = 0; i < 100'000; ++i) out += char('a' + i % 26);
        return {out};
    }
    for (int i = 0; i < 150'000; ++i) out += "\u27FF";
    return {out};
}

void BM_SelectAndClearParagraph(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::duration<double, std::milli>;
    const int64_t text = state.range(0), by = state.range(1);
    World w(20, selectedParagraph(text), text == 2 ? EditorModel::kMaxFontSize : 0);
    w.finishSteps();
    w.view().textEdit()->setFocus();
    if (state.range(2)) {  // the status bar shows its word diff
        w.caretIn(w.hugeIds.front(), true);
        w.key(Qt::Key_Space, {}, " "), w.key(Qt::Key_X, {}, "x");
    }
    double selected = 0;
    const auto select = [&] {
        w.caretIn(w.hugeIds.front(), false);
        const auto started = Clock::now();
        if (by == 0) w.tripleClickAtCaret();
        if (by == 1) w.key(Qt::Key_A, Qt::ControlModifier);
        if (by == 2) w.key(Qt::Key_End, Qt::ShiftModifier);
        if (by == 3) w.dragFromCaret(200);
        const double ms = Ms(Clock::now() - started).count();
        selected = double(w.view().textEdit()->textCursor().selectedText().size());
        return ms;
    };
    double selecting = 0, unselecting = 0, clearing = 0;
    for (auto _ : state) {
        selecting += select();
        auto started = Clock::now();
        w.key(Qt::Key_Left);
        unselecting += Ms(Clock::now() - started).count();
        select();
        started = Clock::now();
        w.key(Qt::Key_Backspace);
        clearing += Ms(Clock::now() - started).count();
        w.key(Qt::Key_Z, Qt::ControlModifier);
        w.finishSteps();
    }
    const double n = double(state.iterations());
    state.counters["ms_select"] = selecting / n;
    state.counters["ms_unselect"] = unselecting / n;
    state.counters["ms_clear"] = clearing / n;
    state.counters["selected"] = selected;
}

}  // namespace

BENCHMARK(BM_SelectAndClearParagraph)
    ->ArgNames({"text", "by", "edited"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

BENCHMARK(BM_PasteUnbrokenText)
    ->ArgNames({"units"})
    ->Args({150'000})
    ->Args({300'000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK(BM_FontChangeBesideLongParagraphs)
    ->ArgNames({"to"})
    ->Args({0})
    ->Args({1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK(BM_OpenBesideAHugeParagraph)
    ->ArgNames({"huge"})
    ->Args({0})
    ->Args({1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

BENCHMARK(BM_TypeAndUndoAtParagraphEnd)
    ->ArgNames({"long", "before"})
    ->Args({0, 100})
    ->Args({1, 100})
    ->Args({0, 20000})
    ->Args({1, 20000})
    ->Args({0, 81000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

int main(int argc, char** argv) { return benchsupport::runOffscreen(argc, argv); }
