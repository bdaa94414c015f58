// The real editor window over a day's, a year's and three years' dictation
// (argument: days; 150 to 300 utterances a day of 8 to 40 words in 2 to 6
// sessions, written straight into a transcript file once per length), driven
// as a user would: keys through Qt's event queue, clicks on the sidebar, the
// text size slider moved with its keys. Each figure runs from the user's act
// until the view shows its result and a frame of it is drawn, everything the
// window posted on the way included.
//
// - "start_ms": the store opened and the window made and shown until a frame
//   shows the newest paragraph; "start_window_ms" the window's share.
// - "whole_ms": until a long transcript read in two is whole in memory (it
//   is at once otherwise); "whole_stall_ms" the longest the window did not
//   answer meanwhile, the earlier part's joining included.
// - "all_ms": All clicked in the sidebar (from the newest entry) until a
//   frame shows the newest paragraph; "all_rss_MB" / "all_heap_MB" the
//   process's resident size and heap then.
// - "key_ms" / "key_max_ms": ten letters typed at the newest paragraph's end
//   (a sentence that ends every transcript alike) in All, each until the store holds it and the
//   window has followed: the median and the slowest.
// - "search_ms" / "clear_ms": a word in about 1 % of the utterances typed
//   into the search field until a frame shows a match; the field cleared
//   until a frame shows the newest paragraph again. "prefix_ms": then the
//   first two letters of a common word ("ma"), as a user starts typing one,
//   until a frame shows what they find (most of the transcript).
// - "old_clear_ms": with the caret put by a key in the timeline, a word found
//   in one old paragraph (a tenth of the way in) searched for, then the field
//   cleared until a frame shows the newest paragraph again;
//   "old_clear_held" the paragraphs the view holds then, "old_clear_rss_MB" /
//   "old_clear_heap_MB" the process's resident size and heap then.
// - "cycles_rss_MB" / "cycles_heap_MB": the same search and clearing ten
//   times more in All, then the resident size and heap; "cycles_clear_max_ms"
//   the slowest clearing, "cycles_held" the paragraphs held after the last.
// - "size_ms": the text size slider taken to its largest until the first
//   frame; "size_back_ms" back to where it was.
//
// Goals: three years within 1.5 x one day; a key within 50 ms; start and
// All within 1 s; memory with All under 150 MB.
//
// BM_WideWindow: wide text at the largest size, the window opened at its
// default 960 x 600 (argument 0: 200 paragraphs of 1,060 ideographs with a
// comma every 17; 1: 1,000 paragraphs of 1,000 fullwidth W; 2: two
// paragraphs of 150,000 U+27FF; 3: one of 199,999 U+2E3B, shown in part,
// whose key is refused; 4 and 5: 100 and 2,000 paragraphs of 1,000
// fullwidth W; 6: a day's dictation, the figures the others are held to).
// "first_ms": the window made and shown
// until the loop's first turn has drawn the newest paragraph (what the view
// posts then for later turns not included); "key_ms": a letter typed at its
// end until the store holds it; "resize_ms": the window made 520 wide until
// a frame is drawn; "resize_key_ms" a key there; "size_ms" the text size
// taken down a step and back (the first turn of each), "size_whole_ms" until
// all the text held has each size, "size_turn_ms" the longest turn meanwhile.
// "longest_turn_ms": the longest the window did not answer in all of it;
// "show_ms" its share made and shown before the loop first turns (a signal
// waits that long). Goal: no frame later than 0.5 s.
//
// BM_FirstShow: a day's, a year's and three years' dictation opened at the default
// text size and at the largest (arguments: days, size). "first_ms": the store
// opened and the window made and shown until the loop has drawn the newest
// paragraph, as in BM_WideWindow; "show_ms": the window made and shown, before the loop first
// turns; "first_held": the paragraphs held at that frame; "filled_ms": until
// what the view holds stops growing (no change for 0.3 s), "filled_held"
// what it holds then; "longest_turn_ms": the longest the window did not
// answer in all of it, the show included. The same of All clicked in the
// sidebar then (a new pane's first show): "all_first_ms", "all_first_held",
// "all_filled_ms", "all_filled_held", "all_longest_turn_ms".
//
// Measured on 8 shared cores under a load of 12 to 40 (so loose), with a
// Chinese font installed (ms; before parts of long paragraphs and the
// measuring of ideographs many at a time -> after):
//   0: first 1,040-2,390 -> 750-1,170 (the rest is Qt's own layout of the
//      150 paragraphs held), key 140-270 -> 70-400, resize 100-280 -> 70-200
//   1: first 140-205 -> 250, key 32-49 -> 47, resize 57-167 -> 111
//   2: first 860-1,180 -> 180-530, key 1,140-1,690 -> 190-270, resize
//      430-500 -> 170-260, key after it 910-1,000 -> 180-190, size
//      1,530-1,590 -> 370-710, longest turn 730-1,090 -> 300-360
//   2, a size a part a turn (load 4.5 -> 4.6, then 12.5): size 198-200 ->
//      21-27, the longest turn of it 143-150 -> 13-50, all of it in the new
//      size 342-350 -> 880-1,100 (in steps of a part)
//   0, the same: size 50-65 -> 39-55, its longest turn 28-37 -> 19-23,
//      all of it 93-119 -> 290-360
//   3 (after): first 280, resize 36, longest turn 220
//   4, 5 (after): first 150 and 140, key 33 and 25, resize 40 and 67
//   2, a size a part a turn (load 12-13): first 550-560, resize 470 (no
//      turn of it longer than the show's 300), size whole 1,270-1,310; of
//      all the CPU, Qt's line layout 19%, copying 12-14%, our counting 2%
//   The first frame before the rest comes in front, what no longer fits a
//   narrower window let go of before Qt lays the text out at its width
//   (load 9-17, first ending with the loop's own frame; before -> after,
//   with 6, a day's, from the same runs): 0: first 188-234 -> 126-168
//   (6: 74-138 -> 60-125; what remains over a day's is Qt shaping the
//   newest paragraph's thousand kinds of ideograph, first measured at the
//   window's making: it lays a paragraph out whole); 2: first 275-400 ->
//   160-240, resize 335-460 -> 195-305 (one turn: Qt's layout of the
//   150,000 characters kept, at the new width); size whole unchanged,
//   1,050-1,400: 88% of it Qt's layout, each part laid out twice (Qt lays
//   out again the block after any block whose format changes).
//   Where what is left goes (perf; load 15-27):
//   - size whole of 2 (at 520 px only the newest paragraph is held): 90%
//     the steps' own edits, two thirds of it Qt breaking lines. A block
//     format's change lays out the block after it too (a change of the
//     characters' formats that ends before a block's break lays out that
//     block alone), and every change positions each line below it anew,
//     one by one: a step at the top of the pair takes 11 ms, at its end 3.
//     The step's text is not what costs. Over the pair in one process
//     (64 -> 57 px, load 27): steps of a part 932-948 ms in all, the
//     longest 23; of three parts 446-466 (26-38); of six 307-329 (35-38);
//     all in one edit 212-242, one turn. 200 paragraphs of ideographs
//     whose glyphs are loaded at the size: 183-220 (10), 111-138 (19),
//     92-104 (21), 76-111; not loaded yet, one edit 494. A document given
//     its own width again, or swapped in laid out, is laid out whole again
//     (220-470, 280-290), so a fresh one made aside saves nothing.
//   - resize of 2: Qt breaking the 150,000 characters kept into lines at
//     the new width, their glyphs kept, 80% of the turn; counting what
//     fits at that width 10%; letting go of the older paragraph 3%.
//   - first show of 0, until its frame is drawn: a fifth FreeType loading
//     the advances of the newest paragraph's ~900 kinds of ideograph, the
//     first page's count measuring them (Qt's layout of that paragraph,
//     which it lays out whole as one block, then finds them loaded: 2%); a
//     seventh the sidebar's rows finding and opening the fallback font; a
//     third the window's background at its first expose, as for a day's.
//     No other paragraph is measured or shaped before the frame.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build --target bench_WindowLongTranscriptBench
//   QT_QPA_PLATFORM=offscreen build/bench_WindowLongTranscriptBench
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QSlider>
#include <QTextDocument>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "OffscreenApp.hpp"
#include "support/DictationTranscript.hpp"
#include "support/FakeAudioBackend.hpp"
#include "support/FakeSpeechEngine.hpp"
#include "support/ProcessMemory.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/settings/MemoryDefaults.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/SidebarWidget.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

using namespace verbolin;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

// A key pressed and let go on `widget`, through the application as the
// keyboard's would be.
void keyClick(QWidget* widget, int key, Qt::KeyboardModifiers mods = {}, QString text = {}) {
    if (text.isEmpty() && key >= Qt::Key_A && key <= Qt::Key_Z && !(mods & Qt::ControlModifier))
        text = QChar(key - Qt::Key_A + 'a');
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QKeyEvent release(QEvent::KeyRelease, key, mods, text);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

void keyClicks(QWidget* widget, const QString& text) {
    for (const QChar c : text) keyClick(widget, Qt::Key_A + (c.toLower().unicode() - 'a'));
}

void mouseClick(QWidget* widget, QPoint at) {
    const QPointF local(at), global(widget->mapToGlobal(at));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, {}, {});
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

constexpr const char* kOldWord = "quetzalcoatlus";

struct Window {
    testsupport::TempDir tmp{"verbolin-window-copy"};
    std::filesystem::path folder = tmp.path() / "store";
    QtMainExecutor main;
    MemoryDefaults defaults;
    MemoryPasteboard pasteboard;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<EditorWindow> window;
    Clock::time_point opened;  // the store, before the window is made

    // The transcript `dictation`.
    explicit Window(const testsupport::Dictation& dictation) {
        testsupport::writeTranscript(folder, dictation);
        defaults.setBool(Defaults::kAlwaysListen, false);
    }
    explicit Window(int days) {
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(testsupport::dictationFolder(days) / "transcript.sqlite",
                                   folder / "transcript.sqlite");
        // Every transcript ends in the same paragraph, where the keys are
        // typed: what a key costs in its own paragraph's length (the word
        // difference the status bar shows, its layout) is then the same,
        // and what differs is the transcript's.
        TranscriptDB db(folder / "transcript.sqlite");
        const double last = db.startOfNewest(1).value_or(0);
        Segment newest;
        newest.start = platform::dateFromSecondsSince1970(last + 600);
        newest.end = platform::dateFromSecondsSince1970(last + 606);
        newest.text = "Please send the draft of the report to the client before Monday morning.";
        // And begins with a paragraph of a word found nowhere else.
        Segment oldest;
        oldest.start = platform::dateFromSecondsSince1970(1e6);
        oldest.end = platform::dateFromSecondsSince1970(1e6 + 4);
        oldest.text = std::string("The ") + kOldWord + " came first of all.";
        if (!db.apply({.segments = {oldest, newest}}))
            throw std::runtime_error("cannot end the transcript with the typed paragraph");
        defaults.setBool(Defaults::kAlwaysListen, false);
    }
    ~Window() {
        window.reset();
        if (model) model->engine().stopAndWait();
    }
    void open() {
        AppModel::Services s;
        s.main = &main;
        s.defaults = &defaults;
        s.storeDirectory = folder;
        s.engine = benchsupport::silentEngine();
        model = std::make_unique<AppModel>(std::move(s));
        opened = Clock::now();
        window = std::make_unique<EditorWindow>(*model, main, pasteboard);
        window->show();
    }
    TimelineTextView* view() const {
        return window && window->pane() ? &window->pane()->textView() : nullptr;
    }
    bool shows(const QString& text) const {
        auto* v = view();
        return v && !v->textEdit()->document()->find(text).isNull();
    }
    // How many paragraphs the view's scope and search hold.
    size_t held() const {
        auto* v = view();
        return v && v->inputs().blocks ? v->inputs().blocks->size() : 0;
    }
    QString newestText() const {
        return QString::fromStdString(model->store().segments.peek().back().text);
    }
    // Runs the event loop until `done` holds, then draws a frame of the view.
    void until(const std::function<bool()>& done, const char* what = "") {
        const auto limit = Clock::now() + std::chrono::seconds(120);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QCoreApplication::sendPostedEvents();
        } while (!done() && Clock::now() < limit);
        if (!done()) throw std::runtime_error(std::string("the window did not show ") + what);
        frame();
    }
    void frame() const {
        QWidget* port = view()->textEdit()->viewport();
        QImage image(port->size(), QImage::Format_ARGB32_Premultiplied);
        port->render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
    // Clicks the sidebar's selectable entry `n` (0: All, 1: the newest).
    void click(int n) {
        QListWidget* list = window->sidebar()->list();
        for (int i = 0, position = -1; i < list->count(); ++i) {
            QListWidgetItem* entry = list->item(i);
            if (!(entry->flags() & Qt::ItemIsSelectable) || ++position != n) continue;
            list->scrollToItem(entry);
            mouseClick(list->viewport(), list->visualItemRect(entry).center());
            return;
        }
        throw std::runtime_error("no sidebar entry " + std::to_string(n));
    }
    void settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
};

double since(Clock::time_point t) { return Ms(Clock::now() - t).count(); }

void measureKeys(Window& w, benchmark::State& state) {
    auto* edit = w.view()->textEdit();
    edit->setFocus();
    keyClick(edit, Qt::Key_End, Qt::ControlModifier);
    w.settle();
    std::vector<double> keys;
    for (int i = 0; i < 10; ++i) {
        const std::string before = w.model->store().segments.peek().back().text;
        const auto t = Clock::now();
        keyClick(edit, Qt::Key_A + i);
        w.until([&] { return w.model->store().segments.peek().back().text != before; },
                "a key stored");
        w.settle();
        keys.push_back(since(t));
    }
    std::sort(keys.begin(), keys.end());
    state.counters["key_ms"] = keys[keys.size() / 2];
    state.counters["key_max_ms"] = keys.back();
}

void measureSearch(Window& w, benchmark::State& state) {
    const QString rare = QString::fromLatin1(testsupport::rareWord);
    QLineEdit* field = w.window->searchField();
    field->setFocus();
    auto t = Clock::now();
    keyClicks(field, rare);
    const size_t all = w.held();
    w.until([&] { return w.held() < all && w.shows(rare); }, "the search");
    state.counters["search_ms"] = since(t);
    w.settle();
    t = Clock::now();
    keyClick(field, Qt::Key_A, Qt::ControlModifier);
    keyClick(field, Qt::Key_Backspace);
    const QString newest = w.newestText();
    w.until([&] { return w.held() == all && w.shows(newest); }, "the cleared search");
    state.counters["clear_ms"] = since(t);
    w.settle();
    t = Clock::now();
    keyClicks(field, QStringLiteral("ma"));
    w.until([&] { return w.held() != all; }, "the prefix search");
    state.counters["prefix_ms"] = since(t);
    w.settle();
    keyClick(field, Qt::Key_A, Qt::ControlModifier);
    keyClick(field, Qt::Key_Backspace);
    w.until([&] { return w.held() == all; }, "the cleared prefix search");
    w.settle();
}

// Found in one old paragraph only: none of the made-up dictation's words.
const QString kPlantedWord = QStringLiteral("quillwort");

// Puts kPlantedWord at the end of the paragraph a tenth of the way into the
// transcript, as an edit of the user's would.
void plantOldWord(Window& w) {
    const auto all = w.model->store().allBlocks();
    const Block& old = (*all)[all->size() / 10];
    w.model->store().replace(old, old.text() + " " + kPlantedWord.toStdString());
    w.settle();
}

// A key in the timeline puts the caret, kPlantedWord is searched for, and the
// field cleared: the time of the clearing, until a frame shows the newest
// paragraph again.
double searchOldWordAndClear(Window& w) {
    auto* edit = w.view()->textEdit();
    edit->setFocus();
    keyClick(edit, Qt::Key_Left);
    w.settle();
    QLineEdit* field = w.window->searchField();
    field->setFocus();
    const size_t all = w.held();
    keyClicks(field, kPlantedWord);
    w.until([&] { return w.held() < all && w.shows(kPlantedWord); }, "the old paragraph's word");
    w.settle();
    const auto t = Clock::now();
    keyClick(field, Qt::Key_A, Qt::ControlModifier);
    keyClick(field, Qt::Key_Backspace);
    const QString newest = w.newestText();
    w.until([&] { return w.held() == all && w.shows(newest); }, "the cleared search");
    const double ms = since(t);
    w.settle();
    return ms;
}

void measureOldWordSearch(Window& w, benchmark::State& state) {
    plantOldWord(w);
    state.counters["old_clear_ms"] = searchOldWordAndClear(w);
    state.counters["old_clear_held"] = double(w.view()->renderedKeys().size());
    state.counters["old_clear_rss_MB"] = double(testsupport::statusKiB("VmRSS:")) / 1024.0;
    state.counters["old_clear_heap_MB"] = testsupport::heapMegabytes();
}

void measureSearchCycles(Window& w, benchmark::State& state) {
    double slowest = 0;
    for (int i = 0; i < 10; ++i) slowest = std::max(slowest, searchOldWordAndClear(w));
    state.counters["cycles_clear_max_ms"] = slowest;
    state.counters["cycles_held"] = double(w.view()->renderedKeys().size());
    state.counters["cycles_rss_MB"] = double(testsupport::statusKiB("VmRSS:")) / 1024.0;
    state.counters["cycles_heap_MB"] = testsupport::heapMegabytes();
}

void measureSize(Window& w, benchmark::State& state) {
    QSlider* slider = w.window->fontSlider();
    const int was = slider->value();
    slider->setFocus();
    auto t = Clock::now();
    keyClick(slider, Qt::Key_End);
    QCoreApplication::processEvents();
    w.frame();
    state.counters["size_ms"] = since(t);
    w.settle();
    t = Clock::now();
    slider->setValue(was);
    QCoreApplication::processEvents();
    w.frame();
    state.counters["size_back_ms"] = since(t);
    w.settle();
}

void BM_Window(benchmark::State& state) {
    const int days = int(state.range(0));
    (void)testsupport::dictationFolder(days);  // made outside the timing
    for (auto _ : state) {
        Window w(days);
        auto t = Clock::now();
        w.open();
        const QString newest = w.newestText();
        w.until([&] { return w.shows(newest); });
        state.counters["start_ms"] = since(t);
        state.counters["start_window_ms"] = since(w.opened);
        // A long transcript's earlier part joins once read: the window's
        // longest turn meanwhile is how long it did not answer.
        double stall = 0;
        while (!w.model->store().readWhole()) {
            const auto turn = Clock::now();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            stall = std::max(stall, since(turn));
        }
        state.counters["whole_ms"] = since(t);
        state.counters["whole_stall_ms"] = stall;
        w.settle();

        w.click(1);
        w.until([&] { return w.window->editor().scope != EditorModel::kAllScope; });
        w.settle();
        t = Clock::now();
        w.click(0);
        w.until(
            [&] { return w.window->editor().scope == EditorModel::kAllScope && w.shows(newest); });
        state.counters["all_ms"] = since(t);
        w.settle();
        state.counters["all_rss_MB"] = double(testsupport::statusKiB("VmRSS:")) / 1024.0;
        state.counters["all_heap_MB"] = testsupport::heapMegabytes();

        measureKeys(w, state);
        measureSearch(w, state);
        measureOldWordSearch(w, state);
        measureSearchCycles(w, state);
        measureSize(w, state);
        state.counters["paragraphs"] = double(w.model->store().segments.peek().size());
    }
}
BENCHMARK(BM_Window)->Arg(1)->Arg(365)->Arg(3 * 365)->Iterations(1)->Unit(benchmark::kSecond);

// Paragraphs of wide text, one utterance each and a minute apart.
testsupport::Dictation wideDictation(int kind) {
    std::mt19937 random(7);
    const auto text = [&](int length) {
        QString out;
        for (int i = 0; i < length; ++i) {
            if (kind == 0)
                out +=
                    (i + 1) % 18 == 0 ? QChar(0xFF0C) : QChar(char16_t(0x4E00 + random() % 0x5000));
            else
                out += QChar(kind == 2 ? 0x27FF : kind == 3 ? 0x2E3B : 0xFF37);
        }
        if (kind == 0) out += QChar(0x3002);
        return out.toStdString();
    };
    const int paragraphs = std::array{200, 1000, 2, 1, 100, 2000}[size_t(kind)];
    const int length = std::array{1060, 1000, 150'000, 199'999, 1000, 1000}[size_t(kind)];
    testsupport::Dictation d;
    for (int i = 0; i < paragraphs; ++i) {
        Segment s;
        s.start = platform::dateFromSecondsSince1970(1.7e9 + i * 60.0);
        s.end = platform::dateFromSecondsSince1970(1.7e9 + i * 60.0 + 5);
        s.text = text(length);
        d.segments.push_back(std::move(s));
    }
    return d;
}

// How a wait for a frame ends: after the work posted on the way (a key's
// storing), or with the first frame the loop draws (a first show: Qt paints
// a window it shows as its loop turns, and what the view posts then is for
// later turns).
enum class Ends { posted, drawn };

// Runs the loop until `done`, the longest turn kept in `longest`.
void turnUntil(Window& w, const std::function<bool()>& done, double& longest, const char* what,
               Ends ends = Ends::posted) {
    const auto limit = Clock::now() + std::chrono::seconds(300);
    do {
        const auto turn = Clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (ends == Ends::posted || !done()) QCoreApplication::sendPostedEvents();
        longest = std::max(longest, since(turn));
    } while (!done() && Clock::now() < limit);
    if (!done()) throw std::runtime_error(std::string("the window did not show ") + what);
    const auto turn = Clock::now();
    w.frame();
    longest = std::max(longest, since(turn));
}

// The kind of BM_WideWindow that is a day's dictation, not wide text.
constexpr int kADay = 6;

void BM_WideWindow(benchmark::State& state) {
    const int kind = int(state.range(0));
    if (kind == kADay) (void)testsupport::dictationFolder(1);  // made outside the timing
    for (auto _ : state) {
        const auto made = kind == kADay ? std::make_unique<Window>(1)
                                        : std::make_unique<Window>(wideDictation(kind));
        Window& w = *made;
        w.defaults.setNumber(Defaults::kFontSize, EditorModel::kMaxFontSize);
        double longest = 0;
        auto t = Clock::now();
        w.open();
        longest = since(t);  // made and shown before the loop turns
        state.counters["show_ms"] = longest;
        const QString newest = w.newestText().left(40);
        turnUntil(
            w, [&] { return w.shows(newest); }, longest, "the newest paragraph", Ends::drawn);
        state.counters["first_ms"] = since(t);
        w.settle();

        auto* edit = w.view()->textEdit();
        const auto typed = [&](int key) {
            edit->setFocus();
            keyClick(edit, Qt::Key_End, Qt::ControlModifier);
            w.settle();
            const std::string before = w.model->store().segments.peek().back().text;
            const auto at = Clock::now();
            keyClick(edit, key);
            // Stored, or refused where the paragraph is shown in part.
            turnUntil(
                w,
                [&] {
                    return w.model->store().segments.peek().back().text != before ||
                           !w.window->statusBar()->notice().empty();
                },
                longest, "a key stored");
            return since(at);
        };
        state.counters["key_ms"] = typed(Qt::Key_A);
        w.settle();

        t = Clock::now();
        w.window->resize(520, 600);
        bool resized = false;
        turnUntil(
            w, [&] { return resized = resized || w.view()->textEdit()->viewport()->width() < 400; },
            longest, "the narrow window");
        state.counters["resize_ms"] = since(t);
        w.settle();
        state.counters["resize_key_ms"] = typed(Qt::Key_B);
        w.settle();

        // Each size taken by all the text held before the next.
        QSlider* slider = w.window->fontSlider();
        double firstTurns = 0, sizeTurn = 0;
        t = Clock::now();
        for (const int value : {slider->value() - 1, slider->maximum()}) {
            const auto at = Clock::now();
            slider->setValue(value);
            turnUntil(
                w, [] { return true; }, sizeTurn, "the new size");
            firstTurns += since(at);
            turnUntil(
                w, [&] { return !w.view()->restyling(); }, sizeTurn, "all of it in the new size");
        }
        state.counters["size_ms"] = firstTurns;
        state.counters["size_whole_ms"] = since(t);
        state.counters["size_turn_ms"] = sizeTurn;
        longest = std::max(longest, sizeTurn);
        w.settle();
        state.counters["longest_turn_ms"] = longest;
        state.counters["held"] = double(w.view()->renderedKeys().size());
    }
}
BENCHMARK(BM_WideWindow)->DenseRange(0, kADay)->Iterations(1)->Unit(benchmark::kSecond);

void BM_FirstShow(benchmark::State& state) {
    const int days = int(state.range(0));
    (void)testsupport::dictationFolder(days);  // made outside the timing
    for (auto _ : state) {
        Window w(days);
        w.defaults.setNumber(Defaults::kFontSize, double(state.range(1)));
        const auto t = Clock::now();
        w.open();
        double longest = since(w.opened);
        state.counters["show_ms"] = longest;
        const QString newest = w.newestText();
        turnUntil(
            w, [&] { return w.shows(newest); }, longest, "the newest paragraph", Ends::drawn);
        state.counters["first_ms"] = since(t);
        size_t held = w.view()->renderedKeys().size();
        state.counters["first_held"] = double(held);
        auto changed = Clock::now();
        turnUntil(
            w,
            [&] {
                if (const size_t now = w.view()->renderedKeys().size(); now != held)
                    held = now, changed = Clock::now();
                return Ms(Clock::now() - changed).count() > 300;
            },
            longest, "what the view holds");
        state.counters["filled_ms"] = Ms(changed - t).count();
        state.counters["filled_held"] = double(held);
        state.counters["longest_turn_ms"] = longest;

        // All, from the newest entry: a new pane shown for the first time.
        w.settle();
        w.click(1);
        w.until([&] { return w.window->editor().scope != EditorModel::kAllScope; });
        w.settle();
        longest = 0;
        const auto all = Clock::now();
        w.click(0);
        turnUntil(
            w,
            [&] { return w.window->editor().scope == EditorModel::kAllScope && w.shows(newest); },
            longest, "All", Ends::drawn);
        state.counters["all_first_ms"] = since(all);
        held = w.view()->renderedKeys().size();
        state.counters["all_first_held"] = double(held);
        changed = Clock::now();
        turnUntil(
            w,
            [&] {
                if (const size_t now = w.view()->renderedKeys().size(); now != held)
                    held = now, changed = Clock::now();
                return Ms(Clock::now() - changed).count() > 300;
            },
            longest, "what All holds");
        state.counters["all_filled_ms"] = Ms(changed - all).count();
        state.counters["all_filled_held"] = double(held);
        state.counters["all_longest_turn_ms"] = longest;
    }
}
BENCHMARK(BM_FirstShow)
    ->Args({1, 26})
    ->Args({1, 64})
    ->Args({365, 26})
    ->Args({365, 64})
    ->Args({3 * 365, 26})
    ->Args({3 * 365, 64})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) { return benchsupport::runOffscreen(argc, argv); }
