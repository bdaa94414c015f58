// The application shell's pieces offscreen: the editor window's switching and
// sizes, the tray item without a tray host, the icons, the quit path, the
// signal pipe and the single-instance socket.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPixmapCache>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "platform/system/HttpClient.hpp"
#include "support/DictationTranscript.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/VirtualClock.hpp"
#include "support/WaitUntil.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/app/AudioServerHelp.hpp"
#include "verbolin/listening/ModelDownloader.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/QtWindowHost.hpp"
#include "verbolin/ui/QuitPath.hpp"
#include "verbolin/ui/QuitSignals.hpp"
#include "verbolin/ui/SidebarWidget.hpp"
#include "verbolin/ui/SingleInstance.hpp"
#include "verbolin/ui/StatusBarModel.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"
#include "verbolin/ui/SymbolIcon.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineScrubber.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"
#include "verbolin/ui/TrayItem.hpp"
#include "verbolin/ui/TrayMenu.hpp"
#include "verbolin/ui/UiFonts.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"

using namespace apptest;
using ModelState = verbolin::TranscriptionEngine::ModelState;

namespace {

class ShellTest : public ::testing::Test {
  protected:
    ShellTest() {
        model = std::make_unique<verbolin::AppModel>(world.appServices(env.home.path() / "store"));
    }
    ~ShellTest() override {
        if (window) {
            window->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        model->engine().stopAndWait();
    }
    // The editor at its default size, shown; it deletes itself on close.
    verbolin::EditorWindow& openEditor() {
        window = new verbolin::EditorWindow(*model, world.main, pasteboard);
        window->show();
        window->refresh();
        settle();
        activate();
        return *window;
    }
    // On an X server the window's shortcuts act only while it is the
    // active one, which it is not by being shown (the offscreen platform
    // makes every window active).
    void activate() {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || window->isActiveWindow())
            return;
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.data()));
        settle();
    }
    void settle() {
        // Far more than any road posts: past it, work posts itself turn after turn.
        constexpr size_t kMostTasks = 20'000;
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
            ASSERT_LT(world.main.runPending(kMostTasks), kMostTasks)
                << "the window's work posts itself turn after turn";
        }
    }
    void placeCursor(int anchor, int position) {
        auto* text = window->pane()->textView().textEdit();
        QTextCursor c(text->document());
        // A caret or selection kept away from what is held, or one the user
        // never placed, leaves the document's cursor waiting in its place:
        // set there again it would change nothing, and keep the one away
        // (or unplaced). A user's own click or drag there moves the cursor
        // first; so does this.
        const QTextCursor now = text->textCursor();
        const auto& view = window->pane()->textView();
        if ((view.awayParagraphs() || !view.usersCaret()) && now.anchor() == anchor &&
            now.position() == position) {
            const int last = text->document()->characterCount() - 1;
            c.setPosition(anchor != position ? position
                          : anchor > 0       ? anchor - 1
                                             : std::min(1, last));
            text->setTextCursor(c);
        }
        c.setPosition(anchor);
        c.setPosition(position, QTextCursor::KeepAnchor);
        text->setTextCursor(c);
    }

    TestEnvironment env;
    EngineWorld world;
    std::unique_ptr<verbolin::AppModel> model;
    verbolin::MemoryPasteboard pasteboard;
    QPointer<verbolin::EditorWindow> window;
};

using uitest::fill;

std::vector<std::string> texts(const std::vector<verbolin::Segment>& segments) {
    std::vector<std::string> out;
    for (const auto& s : segments) out.push_back(s.text);
    return out;
}

std::vector<std::string> texts(const verbolin::TranscriptStore& store) {
    return texts(store.segments.peek());
}

// The transcript as it reads: each paragraph's id, text and times. An edit
// stores a paragraph as one segment, so a change undone by hand (a cut, then
// the same paste) reads as before without its segments being as they were.
using ReadParagraph = std::tuple<platform::Uuid, std::string, platform::Date, platform::Date>;
std::vector<ReadParagraph> paragraphs(const verbolin::TranscriptStore& store) {
    std::vector<ReadParagraph> out;
    for (const auto& b : *store.allBlocks())
        out.emplace_back(b.id, b.text(), b.segments.front().start, b.segments.back().end);
    return out;
}

TEST_F(ShellTest, EditorSwitchesFromPlaceholderToTimelineAndKeepsItsSizes) {
    verbolin::MemoryPasteboard pasteboard;
    auto* window = new verbolin::EditorWindow(*model, world.main, pasteboard);
    QPointer<verbolin::EditorWindow> alive(window);
    window->show();
    EXPECT_EQ(window->size(), QSize(960, 600));
    EXPECT_GE(window->minimumSizeHint().width(), 520);
    EXPECT_GE(window->minimumSizeHint().height(), 320);
    EXPECT_EQ(model->mainWindow(), window->host());  // told on show

    model->engine().modelState.set(ModelState::loading("Preparing speech model\u2026"));
    window->refresh();
    EXPECT_TRUE(window->placeholder()->isVisible());
    EXPECT_EQ(window->placeholderText()->text(), "Preparing speech model\u2026");
    EXPECT_FALSE(window->searchAction()->isVisible());
    EXPECT_FALSE(window->listenButton()->isEnabled());

    // The middle says what failed in one sentence, the failure itself being
    // the status bar's; at the smallest size it neither pushes out nor spills.
    const std::string failure = std::string(verbolin::AudioServerHelp::kNoServer) +
                                ": Connection refused (while the server at /run/user/1000/pulse/"
                                "native was starting, it closed the connection)";
    for (const QSize size : {QSize(960, 600), window->minimumSizeHint()}) {
        window->resize(size);
        model->engine().modelState.set(ModelState::loading("x"));
        window->refresh();
        settle();
        const QSize before = window->size();
        model->engine().modelState.set(ModelState::failed(failure));
        window->refresh();
        settle();
        EXPECT_EQ(window->size(), before);
        auto* label = window->placeholderText();
        const QString text = label->text();
        EXPECT_EQ(text.toStdString(), window->editor().placeholder());
        EXPECT_TRUE(text == verbolin::EditorModel::kModelFailed ||
                    text == verbolin::EditorModel::kListeningFailed ||
                    text == verbolin::EditorModel::kDecodeFailed)
            << text.toStdString();
        const QRect shown(label->mapTo(window, QPoint(0, 0)), label->size());
        EXPECT_TRUE(window->rect().contains(shown));
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << text.toStdString();
    }
    window->resize(960, 600);

    verbolin::Segment s;
    s.start = platform::Clock::system().now();
    s.end = s.start;
    s.text = "first words";
    model->store().append(s);
    model->engine().modelState.set(ModelState::ready());
    window->refresh();
    ASSERT_NE(window->pane(), nullptr);
    EXPECT_TRUE(window->pane()->isVisible());
    // The timeline's narrowest text column leaves the window's smallest width as it was.
    EXPECT_EQ(window->minimumSizeHint().width(), verbolin::EditorWindow::kMinimumWidth);
    // The sidebar gives way there: the text column and its scroll bar stay in the window.
    for (const int width : {verbolin::EditorWindow::kMinimumWidth, 540, 960}) {
        window->resize(width, 600);
        settle();
        auto* edit = window->pane()->textView().textEdit();
        const QRect column(edit->mapTo(window, QPoint(0, 0)), edit->size());
        EXPECT_TRUE(window->rect().contains(column))
            << width << ": the text column ends at " << column.right() << " px";
    }
    window->resize(960, 600);
    EXPECT_FALSE(window->placeholder()->isVisible());
    EXPECT_TRUE(window->searchAction()->isVisible());
    EXPECT_TRUE(window->listenButton()->isEnabled());

    // Ctrl+Backspace in the timeline deletes the paragraphs of the selection.
    auto* text = window->pane()->textView().textEdit();
    text->setFocus();
    text->selectAll();
    world.main.runPending();  // the selection is reported on the next turn
    ASSERT_TRUE(window->editor().hasSelection());
    QTest::keyClick(text, Qt::Key_Backspace, Qt::ControlModifier);
    EXPECT_TRUE(model->store().segments.peek().empty());

    // A new scope gets a new pane.
    QPointer<verbolin::TimelinePane> before = window->pane();
    window->newSession();
    EXPECT_TRUE(before.isNull());
    EXPECT_NE(window->pane(), nullptr);
    EXPECT_TRUE(window->searchField()->text().isEmpty());

    // Closing deletes the window, and the model no longer sees one.
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
    EXPECT_EQ(model->mainWindow(), nullptr);
}

// "Delete Paragraph" deletes the paragraphs of the selection, or the one
// holding the caret; Ctrl+Backspace those of a selection, and with only a
// caret the word before it, as typing would (never across a separator); the
// key typed into the search field or the sidebar deletes nothing.
TEST_F(ShellTest, DeletesTheParagraphsOfTheSelectionOrOfTheCaret) {
    enum How { menu, key, keyInSearch, keyInSidebar };
    struct Case {
        const char* name;
        How how;
        int anchorParagraph, anchorOffset, paragraph, offset;  // offset -1: the paragraph's end
        std::vector<std::string> left;
    } cases[] = {
        {"menu, caret inside", menu, 1, 3, 1, 3, {"alpha one", "gamma three"}},
        {"menu, caret at the end", menu, 2, -1, 2, -1, {"alpha one", "beta two"}},
        {"menu, caret at the start", menu, 0, 0, 0, 0, {"beta two", "gamma three"}},
        {"menu, selection of two", menu, 0, 2, 1, 2, {"gamma three"}},
        {"key, caret inside", key, 1, 3, 1, 3, {"alpha one", "a two", "gamma three"}},
        {"key, caret at the end", key, 1, -1, 1, -1, {"alpha one", "beta ", "gamma three"}},
        {"key, caret at the start", key, 2, 0, 2, 0, {"alpha one", "beta two", "gamma three"}},
        {"key, selection of two", key, 0, 2, 1, 2, {"gamma three"}},
        {"key, selection of all", key, 0, 0, 2, -1, {}},
        {"key in the search field",
         keyInSearch,
         1,
         3,
         1,
         3,
         {"alpha one", "beta two", "gamma three"}},
        {"key in the sidebar", keyInSidebar, 1, 3, 1, 3, {"alpha one", "beta two", "gamma three"}},
    };
    fill(model->store(), {"alpha one", "beta two", "gamma three"});
    openEditor();
    for (const Case& c : cases) {
        fill(model->store(), {"alpha one", "beta two", "gamma three"});
        window->refresh();
        settle();
        auto& view = window->pane()->textView();
        const auto r = view.ranges();
        ASSERT_EQ(r.size(), 3u) << c.name;
        const auto at = [&](int p, int offset) {
            return offset < 0 ? r[size_t(p)].end() : r[size_t(p)].location + offset;
        };
        view.textEdit()->setFocus();
        placeCursor(at(c.anchorParagraph, c.anchorOffset), at(c.paragraph, c.offset));
        // No turn passes: the delete must go by the caret placed just now.
        switch (c.how) {
            case menu: {
                std::unique_ptr<QMenu> m(view.textEdit()->createStandardContextMenu());
                view.decorateContextMenu(*m);
                ASSERT_EQ(m->actions()[0]->text(), "Delete Paragraph");
                m->actions()[0]->trigger();
                break;
            }
            case key:
                QTest::keyClick(view.textEdit(), Qt::Key_Backspace, Qt::ControlModifier);
                break;
            case keyInSearch:
                window->searchField()->setFocus();
                QTest::keyClick(window->searchField(), Qt::Key_Backspace, Qt::ControlModifier);
                break;
            case keyInSidebar:
                QTest::keyClick(window->sidebar()->list(), Qt::Key_Backspace, Qt::ControlModifier);
                break;
        }
        settle();
        EXPECT_EQ(texts(model->store()), c.left) << c.name;
    }
}

// While speech is heard, the caret put at the end lands in the live preview,
// which is not the user's to change: what is typed there joins the paragraph
// before it, on screen and in the transcript, and stays when speech ends.
TEST_F(ShellTest, TypingAtTheEndWhileSpeakingJoinsTheLastParagraph) {
    auto& store = model->store();
    for (bool stored : {true, false}) {
        fill(store, stored ? std::vector<std::string>{"alpha one", "beta two"}
                           : std::vector<std::string>{});
        if (!stored) {  // nothing stored yet: a session keeps the timeline up
            window->newSession();
            settle();
        }
        store.isSpeaking.set(true);
        store.preview.set("we are still talk");
        if (!window) openEditor();
        window->refresh();
        settle();
        auto* text = window->pane()->textView().textEdit();
        ASSERT_TRUE(text->toPlainText().endsWith("we are still talk")) << stored;
        text->setFocus();
        QTest::keyClick(text, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(text, " MYNOTE");
        settle();
        if (stored) {
            EXPECT_EQ(texts(store), (std::vector<std::string>{"alpha one", "beta two MYNOTE"}));
            EXPECT_TRUE(text->toPlainText().contains("beta two MYNOTE"));
        } else {
            // No paragraph to join: the keys are refused, nothing half-typed.
            EXPECT_TRUE(texts(store).empty());
            EXPECT_FALSE(text->toPlainText().contains("MYNOTE"));
        }
        EXPECT_TRUE(text->toPlainText().endsWith("we are still talk"));
        store.isSpeaking.set(false);
        store.preview.set("");
        window->refresh();
        settle();
        EXPECT_EQ(text->toPlainText().contains("beta two MYNOTE"), stored);
        EXPECT_FALSE(text->toPlainText().contains("talk"));
    }
}

std::vector<std::string> shown(const verbolin::TimelineTextView& view) {
    std::vector<std::string> out;
    for (const auto& r : view.ranges())
        out.push_back(verbolin::paragraphText(view.text(), r).toStdString());
    return out;
}

// A paragraph's text as the window shows it: in part when it is too long,
// with its length in characters (an emoji is one, not two UTF-16 units).
std::string shownOf(const std::string& text) {
    namespace Long = verbolin::LongParagraph;
    const QString whole = QString::fromStdString(text);
    if (!Long::tooLong(whole)) return text;
    return (whole.left(Long::cutAt(whole)) + QLatin1Char('\n') +
            Long::notice(whole.toUcs4().size()))
        .toStdString();
}

// `units` letters without a space.
std::string unbrokenLetters(size_t units) {
    std::string out(units, 'a');
    for (size_t i = 0; i < units; ++i) out[i] = char('a' + i % 26);
    return out;
}

// A long text as a failure prints it: its length, start and end.
std::string brief(const std::string& text) {
    if (text.size() <= 120) return '"' + text + '"';
    return std::to_string(text.size()) + " bytes \"" + text.substr(0, 60) + "..." +
           text.substr(text.size() - 40) + '"';
}

bool blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); });
}

std::string lowered(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Each segment on one line with all it holds, for failures that read.
std::vector<std::string> described(const std::vector<verbolin::Segment>& segments) {
    std::vector<std::string> out;
    for (const auto& s : segments)
        out.push_back(s.id.string() + " " + std::to_string(s.start.time_since_epoch().count()) +
                      " " + std::to_string(s.end.time_since_epoch().count()) + " \"" + s.text +
                      "\"" + (s.edited ? " edited" : "") +
                      (s.original ? " from \"" + *s.original + "\"" : ""));
    return out;
}

std::vector<std::string> paragraphTexts(const std::vector<verbolin::Segment>& segments) {
    std::vector<std::string> out;
    for (const auto& b :
         verbolin::TranscriptStore::blocks(segments, verbolin::TranscriptStore::paragraphGap))
        out.push_back(b.text());
    return out;
}

// Texts marked as the paragraph's they were typed or spoken into. Paragraphs
// that came to be one of the transcript (an utterance joining, an undo
// putting one back in front of another) share their texts from then on.
class MarkedTexts {
  public:
    // `word`: a word of the text as it started, which counts only where it
    // stands as a word. The deep paragraphs' words differ only in their last
    // letter, so a deletion in one can join "brook" to the "r" of the next
    // word left there: "brookrs" is no word of the paragraph that had
    // "brookr" taken over to it.
    void add(std::string text, const platform::Uuid& owner, bool word = false) {
        marked_.push_back({std::move(text), owner, word});
    }
    // Fails when a paragraph of the transcript holds a text marked as another's.
    void check(const std::vector<verbolin::Block>& blocks) {
        for (const auto& b : blocks)
            for (const auto& s : b.segments) joined_[root(s.id)] = root(b.id);
        for (const auto& b : blocks)
            for (const auto& m : marked_)
                if (holds(b.text(), m)) {
                    ASSERT_EQ(root(m.owner).string(), root(b.id).string())
                        << m.text << " in " << b.text();
                }
    }

  private:
    struct Mark {
        std::string text;
        platform::Uuid owner;
        bool word = false;
    };
    static bool holds(const std::string& text, const Mark& m) {
        const auto letter = [&](size_t at) {
            return at < text.size() && std::isalnum(static_cast<unsigned char>(text[at]));
        };
        for (size_t at = text.find(m.text); at != std::string::npos; at = text.find(m.text, at + 1))
            if (!m.word || (!(at > 0 && letter(at - 1)) && !letter(at + m.text.size())))
                return true;
        return false;
    }
    platform::Uuid root(const platform::Uuid& id) const {
        const auto it = joined_.find(id);
        return it == joined_.end() || it->second == id ? id : root(it->second);
    }
    std::vector<Mark> marked_;
    std::unordered_map<platform::Uuid, platform::Uuid> joined_;
};

// Edits the timeline of a fresh window over `texts` through keys and clicks.
struct EditingTest : ShellTest {
    const std::vector<std::string> three = {"Knowledge is power.", "They got in everything.",
                                            "That is all I ask."};
    std::vector<verbolin::Segment> original;
    // The time the gutter shows for segment `i` of the start.
    std::string timeOf(size_t i) { return model->store().calendar().shortTime(original[i].start); }
    // The window's timeline now: another sidebar entry gets a pane of its own.
    verbolin::TimelineTextView* view() {
        return window && window->pane() ? &window->pane()->textView() : nullptr;
    }
    verbolin::TimelineTextEdit* edit() { return view()->textEdit(); }
    bool timelineShown() { return view() && window->pane()->isVisible(); }
    // A transcript of `texts` and no sessions.
    void reset(const std::vector<std::string>& texts) {
        auto& store = model->store();
        for (const auto& m : std::vector(store.sessions.peek())) store.removeSession(m.id);
        fill(store, texts);
    }
    // A fresh window over what the transcript holds now.
    void open() {
        original = model->store().segments.peek();
        if (window) window->close();  // no history from before
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        openEditor();
        edit()->setFocus();
    }
    void start(const std::vector<std::string>& texts) { reset(texts), open(); }
    // "Before the start." and, 1.5 s later, "After the start.": one paragraph
    // of the transcript, with a session started between its utterances, which
    // the window opens on.
    void startAcrossASession() {
        using namespace std::chrono_literals;
        reset({});
        auto& store = model->store();
        auto before = uitest::segment(0, 0, "Before the start.");
        before.start = std::chrono::system_clock::now() - 1s;
        before.end = before.start + 500ms;
        store.append(before);
        auto after = uitest::segment(0, 0, "After the start.");
        after.start = store.startSession(std::nullopt).start + 500ms;
        after.end = after.start + 500ms;
        store.append(after);
        open();
    }
    int at(int p, int offset) {  // offset -1: the paragraph's end
        const auto& all = view()->ranges();
        if (size_t(p) >= all.size()) {
            ADD_FAILURE() << "no paragraph " << p << " shown";
            return 0;
        }
        return offset < 0 ? all[size_t(p)].end() : all[size_t(p)].location + offset;
    }
    // The caret (or a selection of all its text) put in paragraph `p`, as a click would.
    void caret(int p, int offset) {
        edit()->setFocus();
        placeCursor(at(p, offset), at(p, offset));
    }
    void select(int p) {
        edit()->setFocus();
        placeCursor(at(p, 0), at(p, -1));
    }
    void click(int position) {
        QTextCursor c(edit()->document());
        c.setPosition(position);
        QTest::mouseClick(edit()->viewport(), Qt::LeftButton, {}, edit()->cursorRect(c).center());
        settle();
    }
    void key(int k, Qt::KeyboardModifiers mods = {}, int n = 1) {
        for (int i = 0; i < n; ++i) {
            QTest::keyClick(edit(), Qt::Key(k), mods);
            settle();  // the window follows each key before the next, as it does for the user
        }
    }
    void type(const char* text) {
        const QString keys = QString::fromUtf8(text);
        for (const QChar c : keys)
            if (c.unicode() < 0x80) {
                QTest::keyClick(edit(), c.toLatin1());
            } else {  // a key that only types its character, as a keyboard layout's would
                QTest::sendKeyEvent(QTest::Click, edit(), Qt::Key_unknown, QString(c), {});
            }
        settle();
    }
    void paste(const char* text) {
        QGuiApplication::clipboard()->setText(QString::fromUtf8(text));
        key(Qt::Key_V, Qt::ControlModifier);
    }
    void undo(int n = 1) { key(Qt::Key_Z, Qt::ControlModifier, n); }
    void doubleClick(int position) {
        QTextCursor c(edit()->document());
        c.setPosition(position);
        QTest::mouseDClick(edit()->viewport(), Qt::LeftButton, {}, edit()->cursorRect(c).center());
        settle();
    }
    // Ctrl+Z pressed wherever the focus is, so that the window's shortcuts
    // apply as they would for the user.
    void undoWhereFocusIs() { keyWhereFocusIs(Qt::Key_Z, Qt::ControlModifier); }
    void keyWhereFocusIs(Qt::Key k, Qt::KeyboardModifiers mods) {
        activate();
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : window.data(), k, mods);
        settle();
    }
    void search(const char* text) {
        window->searchField()->setText(QString::fromUtf8(text));
        settle();
    }
    // Clicks the sidebar entry of `scope`: "all", a session's id or a day's.
    void choose(const std::string& scope) {
        settle();  // the sidebar reads the store on the next turn
        auto* sidebar = window->sidebar();
        int wanted = -1;  // "All"
        if (scope != verbolin::EditorModel::kAllScope) {
            int row = 0;
            wanted = -2;
            for (const auto& day : sidebar->model().sessionDays())
                for (const auto& item : day.items) {
                    if (item.id == scope) wanted = row;
                    ++row;
                }
        }
        QListWidget* list = sidebar->list();
        // Entries that can be chosen, in list order: "All", then the model's.
        for (int i = 0, position = -1; i < list->count(); ++i) {
            QListWidgetItem* entry = list->item(i);
            if (!(entry->flags() & Qt::ItemIsSelectable) || position++ != wanted) continue;
            list->scrollToItem(entry);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualItemRect(entry).center());
            settle();
            ASSERT_EQ(window->editor().scope, scope);
            return;
        }
        FAIL() << "no sidebar entry " << scope;
    }
    // The sidebar's row for `scope`, if it shows one.
    QListWidgetItem* sidebarEntry(const std::string& scope) {
        int row = 0;
        for (const auto& day : window->sidebar()->model().sessionDays())
            for (const auto& item : day.items) {
                QListWidget* list = window->sidebar()->list();
                for (int i = 0, position = -1; item.id == scope && i < list->count(); ++i)
                    if ((list->item(i)->flags() & Qt::ItemIsSelectable) && position++ == row)
                        return list->item(i);
                ++row;
            }
        return nullptr;
    }
    // The sidebar's entry for the stretch of the day before any session
    // that holds `time`.
    std::string dayOf(platform::Date time) {
        for (const auto& item : model->store().sessionItems())
            if (!item.marker && item.start <= time && (!item.end || time < *item.end))
                return item.id;
        return "no day";
    }
    // An utterance stored at `start` (now by default).
    verbolin::Segment land(const std::string& text,
                           std::optional<platform::Date> start = std::nullopt) {
        auto s = uitest::segment(0, 0, text);
        s.start = s.end = start.value_or(std::chrono::system_clock::now());
        model->store().append(s);
        settle();
        return s;
    }
    void deleteParagraph() {
        std::unique_ptr<QMenu> menu(edit()->createStandardContextMenu());
        view()->decorateContextMenu(*menu);
        ASSERT_EQ(menu->actions()[0]->text(), "Delete Paragraph");
        menu->actions()[0]->trigger();
        settle();
    }
    // The status bar's last notice holds each of `parts`, case aside.
    void expectNotice(const std::vector<std::string>& parts) {
        const std::string notice = lowered(window->statusBar()->notice());
        for (const auto& part : parts)
            EXPECT_NE(notice.find(lowered(part)), std::string::npos) << notice;
    }
    // What the window shows: nothing while the timeline gives way to the
    // empty window; an emptied paragraph kept for the caret is left out.
    std::vector<std::string> onScreen() {
        if (!timelineShown()) return {};
        auto out = shown(*view());
        std::erase(out, std::string());
        return out;
    }
    // The transcript's file: what the next start reads.
    std::vector<verbolin::Segment> inFile() {
        verbolin::TranscriptDB db(env.home.path() / "store" / "transcript.sqlite",
                                  verbolin::TranscriptDB::Access::readOnly);
        return db.allSegments();
    }
    // The segments of the transcript and its file; one left blank by an
    // emptied paragraph may be kept or not.
    void expectStored(std::vector<std::string> segments) {
        for (auto list : {texts(model->store()), texts(inFile())}) {
            std::erase_if(list, blank);
            EXPECT_EQ(list, segments);
        }
    }
    // The window, the transcript and its file, one segment per paragraph.
    void expect(const std::vector<std::string>& paragraphs) {
        expectStored(paragraphs);
        EXPECT_EQ(onScreen(), paragraphs);
    }
    // The same by paragraph, however many segments each holds.
    void expectParagraphs(const std::vector<std::string>& paragraphs) {
        EXPECT_EQ(paragraphTexts(model->store().segments.peek()), paragraphs);
        EXPECT_EQ(paragraphTexts(inFile()), paragraphs);
        EXPECT_EQ(onScreen(), paragraphs);
    }
    // Segment `i` of the start keeps its id and times; the others are as they began.
    void expectInPlaceOf(size_t i) {
        const auto& now = model->store().segments.peek();
        ASSERT_EQ(now.size(), original.size());
        for (size_t k = 0; k < now.size(); ++k) {
            if (k != i) {
                EXPECT_EQ(described({now[k]}), described({original[k]}));
                continue;
            }
            EXPECT_EQ(now[k].id, original[k].id);
            EXPECT_EQ(now[k].start, original[k].start);
            EXPECT_EQ(now[k].end, original[k].end);
        }
    }

    // The mouse wheel turned `notches` notches up (down when negative),
    // the window answering each as it comes.
    void wheel(int notches) {
        const QPoint at = edit()->viewport()->rect().center();
        for (int i = 0; i < std::abs(notches); ++i) {
            QWheelEvent e(at, edit()->viewport()->mapToGlobal(at), {},
                          {0, notches > 0 ? 120 : -120}, Qt::NoButton, {}, Qt::NoScrollPhase,
                          false);
            QApplication::sendEvent(edit()->viewport(), &e);
            settle();
        }
    }
    // A caret the user never placed (a fresh window, a new view) placed
    // where the document shows it, as a click there would: steps that follow
    // the caret the window shows start from there. A key with it unplaced
    // lands at the newest paragraph's end, which the rows above cover.
    void placeWhereShown() {
        if (!timelineShown() || view()->usersCaret() || view()->awayParagraphs() ||
            edit()->textCursor().hasSelection())
            return;
        const int shown = edit()->textCursor().position();
        placeCursor(shown, shown);
    }
    // At most `most` paragraphs held from now on, as after a resize.
    void holdAtMost(size_t most) {
        view()->windowParagraphs = most;
        // As a real resize reaches it: through the viewport, which the editor
        // lays out for before its owner is told.
        QWidget* port = edit()->viewport();
        QResizeEvent resized(port->size(), port->size());
        QApplication::sendEvent(port, &resized);
        settle();
        ASSERT_LE(view()->renderedKeys().size(), most);
    }
    // The id of the paragraph shown as `p`.
    QString idAt(int p) { return view()->ranges()[size_t(p)].id; }
    bool isHeld(const QString& id) {
        const auto& all = view()->ranges();
        return std::any_of(all.begin(), all.end(), [&](const auto& r) { return r.id == id; });
    }

    // Twelve paragraphs, each deeper than the window, the third about a zebra.
    std::vector<std::string> twelve() {
        std::vector<std::string> out;
        for (int i = 0; i < 12; ++i) {
            std::string text = "Paragraph " + std::to_string(i) + " says what it says";
            for (int more = 0; more < 60; ++more) text += " and goes on";
            out.push_back(text + (i == 2 ? " about a zebra." : "."));
        }
        return out;
    }
    // The wheel turned far up from the caret, then Backspace three times and a paste.
    void keysAfterTheWheelUp() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        const QString newest = idAt(int(view()->ranges().size()) - 1);
        caret(int(view()->ranges().size()) - 1, -1), type("a");
        wheel(600);
        ASSERT_FALSE(isHeld(newest));
        key(Qt::Key_Backspace, {}, 3), paste("P");
        std::string last = twelve.back() + "a";
        last.resize(last.size() - 3);
        auto want = twelve;
        want.back() = last + "P";
        expectStored(want);
        EXPECT_TRUE(isHeld(newest));
    }
    // The wheel turned far down from the caret, then a key and Delete.
    void keysAfterTheWheelDown() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        key(Qt::Key_Home, Qt::ControlModifier), type("b");
        const QString oldest = idAt(0);
        wheel(-600);
        ASSERT_FALSE(isHeld(oldest));
        type("c"), key(Qt::Key_Delete);
        auto want = twelve;
        want.front() = "bc" + twelve.front().substr(1);
        expectStored(want);
    }
    // A click on the scrubber's start, then a key.
    void keyAfterTheScrubber() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        caret(int(view()->ranges().size()) - 1, -1);
        auto& scrubber = window->pane()->scrubber();
        QTest::mouseClick(&scrubber, Qt::LeftButton, {}, QPoint(2, scrubber.height() / 2));
        settle();
        type("d");
        auto want = twelve;
        want.back() += "d";
        expectStored(want);
    }
    // A double-clicked word scrolled away, then Ctrl+C and a key.
    void wordScrolledAwayCopiedAndTypedOver() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        doubleClick(at(int(view()->ranges().size()) - 1, 2));
        wheel(600);
        key(Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "Paragraph");
        type("Z");
        auto want = twelve;
        want.back() = "Z" + twelve.back().substr(std::string("Paragraph").size());
        expectStored(want);
    }
    // The caret put at the newest paragraph's end, the wheel turned far up,
    // then a key that moves or extends the caret, and a letter: they act
    // there, whatever the key, and nothing else changes.
    void caretKeyAfterTheWheelUp(int k, Qt::KeyboardModifiers mods) {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        const QString newest = idAt(int(view()->ranges().size()) - 1);
        caret(int(view()->ranges().size()) - 1, -1), wheel(600);
        key(k, mods), type("Z");
        auto want = twelve;
        std::string last = want.back() = texts(model->store()).back();
        expectStored(want);
        ASSERT_NE(last.find('Z'), std::string::npos) << last;
        last.erase(last.find('Z'), 1);
        EXPECT_EQ(twelve.back().rfind(last, 0), 0u) << "more than its end typed over: " << last;
        EXPECT_TRUE(isHeld(newest));
    }
    // A letter typed at the newest paragraph's end, the wheel turned far up,
    // then Ctrl+Z and Ctrl+Shift+Z pressed with the focus in the search field
    // or with the caret clicked into a paragraph on screen: each step is
    // made. With the caret clicked away the status bar names the paragraph
    // it was made in; from the search field the caret is still the user's,
    // in that paragraph, and the view goes back to it.
    void undoneOutOfSight(bool fromTheSearchField) {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        const QString newest = idAt(int(view()->ranges().size()) - 1);
        caret(int(view()->ranges().size()) - 1, -1), type("a");
        const std::string when = timeOf(twelve.size() - 1);
        wheel(600);
        if (fromTheSearchField)
            window->searchField()->setFocus();
        else
            QTest::mouseClick(edit()->viewport(), Qt::LeftButton, {},
                              edit()->viewport()->rect().center()),
                settle();
        undoWhereFocusIs();
        expectStored(twelve);
        if (fromTheSearchField)
            EXPECT_TRUE(isHeld(newest));
        else
            expectNotice({"undid", when});
        keyWhereFocusIs(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        auto want = twelve;
        want.back() += "a";
        expectStored(want);
        if (fromTheSearchField)
            EXPECT_TRUE(isHeld(newest));
        else
            expectNotice({"redid", when});
    }
    // The caret scrolled away, then Ctrl+Shift+Home: the selection runs from
    // the caret, and a copy holds it all.
    void selectedFromACaretScrolledAway() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        caret(int(view()->ranges().size()) - 1, 9);
        wheel(600);
        key(Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
        key(Qt::Key_C, Qt::ControlModifier);
        std::string want;
        for (size_t i = 0; i + 1 < twelve.size(); ++i) want += twelve[i] + "\n\n";
        want += twelve.back().substr(0, 9);
        EXPECT_TRUE(QGuiApplication::clipboard()->text().toStdString() == want)
            << brief(QGuiApplication::clipboard()->text().toStdString());
    }
    // Shift+click extends from the caret kept by id, not from the edge of
    // what is held: the copy runs from the click to the caret's place.
    void shiftClickFromACaretScrolledAway() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        caret(int(view()->ranges().size()) - 1, 9);
        wheel(600);
        const auto held = onScreen();
        ASSERT_FALSE(held.empty());
        const auto first = std::find(twelve.begin(), twelve.end(), held.front());
        ASSERT_NE(first, twelve.end());
        QTextCursor c(edit()->document());
        c.setPosition(at(0, 5));
        QTest::mouseClick(edit()->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          edit()->cursorRect(c).center());
        settle();
        key(Qt::Key_C, Qt::ControlModifier);
        std::string want = first->substr(5);
        for (auto it = first + 1; it != twelve.end(); ++it)
            want += "\n\n" + (it + 1 == twelve.end() ? it->substr(0, 9) : *it);
        EXPECT_TRUE(QGuiApplication::clipboard()->text().toStdString() == want)
            << brief(QGuiApplication::clipboard()->text().toStdString());
        type("x");  // across paragraphs: refused, nothing changes
        expectStored(twelve);
    }
    // The newest paragraph, long, emptied: the text left is shorter than the
    // screen, so a page comes in front and lets go of it; typing lands there.
    void emptiedAndPagedAway() {
        const std::vector<std::string> five = {"Knowledge is power.", three[1], three[2],
                                               "Nobody saw the second train leave.",
                                               "We will meet again on Friday."};
        start(five), holdAtMost(3);
        caret(2, -1), paste(unbrokenLetters(800).c_str());
        select(2), key(Qt::Key_Backspace), type("ZZ");
        auto want = five;
        want.back() = "ZZ";
        expectStored(want);
    }
    // `sql` run on the transcript by another program, then the retry
    // timer's turn, which reads the file again on a thread and joins it.
    void changedElsewhere(const char* sql) {
        sqlite3* other = nullptr;
        const auto file = env.home.path() / "store" / "transcript.sqlite";
        ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);
        world.main.advance(verbolin::AppModel::kSaveRetryInterval);
        ASSERT_TRUE(world.runUntil([&] { return model->store().readWhole(); }));
        settle();
    }
    // The paragraphs around the caret's changed elsewhere, then a key.
    void neighboursChangedElsewhere() {
        start(three), caret(1, 5);
        changedElsewhere(
            "DELETE FROM segments WHERE text = 'Knowledge is power.';"
            "UPDATE segments SET text = 'All I ask.' WHERE text = 'That is all I ask.'");
        EXPECT_EQ(onScreen(), (std::vector<std::string>{three[1], "All I ask."}));
        type("X");
        expect({"They Xgot in everything.", "All I ask."});
    }
    // The caret's own paragraph deleted elsewhere, then a key: it lands as
    // it does once the user deleted that paragraph with the caret there.
    void caretsParagraphDeletedElsewhere() {
        start(three), caret(1, 5), deleteParagraph(), type("Y");
        const std::vector<std::string> byTheUser = texts(model->store());
        ASSERT_EQ(byTheUser.size(), 2u);
        start(three), caret(1, 5);
        changedElsewhere("DELETE FROM segments WHERE text = 'They got in everything.'");
        EXPECT_EQ(onScreen(), (std::vector<std::string>{three[0], three[2]}));
        type("Y");
        expect(byTheUser);
    }
    // Every segment deleted elsewhere, then an utterance.
    void everythingDeletedElsewhere() {
        start(three), caret(2, -1);
        changedElsewhere("DELETE FROM segments");
        EXPECT_EQ(onScreen(), std::vector<std::string>{});
        land("Said after.");
        expect({"Said after."});
    }
    // The caret's paragraph hidden by a search, a key, the search cleared, a key.
    void caretHiddenByASearch() {
        const auto twelve = this->twelve();
        start(twelve), holdAtMost(3);
        caret(int(view()->ranges().size()) - 1, -1), type("e");
        search("zebra");
        ASSERT_EQ(onScreen(), std::vector<std::string>{twelve[2]});
        type("q");
        expectNotice({"not shown"});
        search("");
        EXPECT_LE(view()->renderedKeys().size(), 3u);
        EXPECT_EQ(view()->heldTo(), twelve.size());
        type("r");
        auto want = twelve;
        want.back() += "er";
        expectStored(want);
    }
    // The caret in a session's paragraph a few before the newest, another
    // sidebar entry chosen (a new view, which hides it: a key there is
    // refused), then All again, which opens at its newest and brings the
    // rest in front: a key lands in the caret's paragraph. `oldest`: the
    // caret put in All at the start of the oldest, far from where All
    // opens, and the session's entry chosen.
    void keyAfterAnotherEntryAndAllAgain(bool oldest) {
        reset({});
        auto& store = model->store();
        std::vector<std::string> texts;
        for (int i = 0; i < 40; ++i) texts.push_back("Paragraph " + std::to_string(i) + ".");
        fill(store, std::vector(texts.begin(), texts.begin() + 20));
        const std::string day = dayOf(store.segments.peek().front().start);
        auto at = store.startSession(std::nullopt).start;
        for (size_t i = 20; i < texts.size(); ++i, at += std::chrono::minutes(1)) {
            auto s = uitest::segment(0, 0, texts[i]);
            s.start = at + std::chrono::seconds(1), s.end = s.start + std::chrono::seconds(2);
            store.append(s);
        }
        std::string session;
        for (const auto& item : store.sessionItems())
            if (item.marker) session = item.id;
        open();
        const int last = int(view()->ranges().size()) - 1;
        if (oldest)  // the window opens on the session
            choose(verbolin::EditorModel::kAllScope), key(Qt::Key_Home, Qt::ControlModifier),
                type("a");
        else
            caret(last - 2, -1), type("a");
        choose(oldest ? session : day), type("c");
        expectNotice({"not shown"});
        choose(verbolin::EditorModel::kAllScope), type("b");
        auto want = texts;
        if (oldest)
            want.front() = "ab" + want.front();
        else
            want[texts.size() - 3] += "ab";
        expectStored(want);
    }
    // A view whose caret the user never placed: the window just opened (its
    // twelve deep paragraphs held three at a time), or All chosen first
    // from the session the window opened on. The focus comes by Tab,
    // then a key: it lands at the end of the newest
    // paragraph, where the view opens, as in an editor opened at its end,
    // never at the start of what the view happens to hold, off screen.
    void keyInAViewNeverClicked(bool allChosen) {
        auto texts = twelve();
        reset({});
        auto& store = model->store();
        fill(store, std::vector(texts.begin(), texts.begin() + 6));
        if (allChosen) {
            auto at = store.startSession(std::nullopt).start;
            for (size_t i = 6; i < texts.size(); ++i, at += std::chrono::minutes(1)) {
                auto s = uitest::segment(0, 0, texts[i]);
                s.start = at + std::chrono::seconds(1), s.end = s.start + std::chrono::seconds(2);
                store.append(s);
            }
        } else {
            fill(store, texts);
        }
        open();
        if (allChosen) choose(verbolin::EditorModel::kAllScope);
        holdAtMost(3);
        window->searchField()->setFocus();
        edit()->setFocus(Qt::TabFocusReason), settle();
        type("k");
        auto want = texts;
        want.back() += "k";
        expectStored(want);
    }
    // Letters without a space pasted at the start of a bound of three, then
    // the scroll bar to the top three times and Ctrl+Home: the scroll bar
    // comes and goes while pages are written, and what is held stays in
    // step after every step.
    void lettersPastedThenTopAndHome() {
        const std::vector<std::string> five = {three[0], three[1], three[2],
                                               "Nobody saw the train.", "We will meet."};
        start(five);
        view()->windowParagraphs = 3;  // bites at the next change
        const auto inStep = [&](const char* step) {
            SCOPED_TRACE(step);
            const auto problems = view()->heldProblems();
            EXPECT_TRUE(problems.empty()) << problems.front();
            EXPECT_EQ(edit()->document()->characterCount() - 1, view()->text().length());
            EXPECT_EQ(view()->ranges().size(), view()->renderedKeys().size());
        };
        const std::string letters = unbrokenLetters(1938);
        caret(0, 0), paste(letters.c_str());
        inStep("the paste");
        auto* bar = edit()->verticalScrollBar();
        for (int i = 0; i < 3; ++i) bar->setValue(0), settle(), inStep("the top");
        key(Qt::Key_Home, Qt::ControlModifier);
        inStep("Ctrl+Home");
        auto want = five;
        want.front() = letters + five.front();
        expectStored(want);
    }
    // For the random runs: the texts marked and the utterances landed so
    // far, and the steps that are more than a key.
    MarkedTexts marked;
    std::vector<verbolin::Segment> landed;

    // Each paragraph shown holds what the transcript holds for it (one left
    // blank by an emptied paragraph may be gone from it), and no paragraph
    // of the transcript holds text marked as another's.
    // To the top and back, by the scroll bar or by Ctrl+Home and Ctrl+End:
    // pages come in and go.
    void topAndBack(bool byKeys) {
        auto* bar = edit()->verticalScrollBar();
        for (int i = 0; i < 3; ++i) bar->setValue(0), settle();
        ASSERT_NO_FATAL_FAILURE(checkInStep());
        if (byKeys) {
            key(Qt::Key_Home, Qt::ControlModifier), checkInStep();
            key(Qt::Key_End, Qt::ControlModifier);
        } else {
            for (int i = 0; i < 3; ++i) bar->setValue(bar->maximum()), settle();
        }
    }
    void checkInStep() {
        auto& store = model->store();
        if (timelineShown()) {
            // What the window holds agrees with itself, whichever road came last.
            const auto problems = view()->heldProblems();
            ASSERT_TRUE(problems.empty()) << "what the timeline holds: " << problems.front();
            // The segments each shown paragraph stands for, as the transcript holds them.
            const auto given = view()->inputs().paragraphs();
            for (const auto& r : view()->ranges()) {
                const std::string shownText =
                    verbolin::paragraphText(view()->text(), r).toStdString();
                const auto id = platform::Uuid::parse(r.id.toStdString());
                ASSERT_TRUE(id) << r.id.toStdString();
                std::vector<platform::Uuid> ids;
                for (const auto& b : given)
                    if (b.id == *id)
                        for (const auto& s : b.segments) ids.push_back(s.id);
                const auto held = store.segmentsWithIds(ids);
                if (!held.empty()) {
                    // Compared, not printed whole: a paragraph may hold megabytes.
                    const std::string want = shownOf(verbolin::Block{*id, held}.text());
                    ASSERT_TRUE(shownText == want) << brief(shownText) << " shown, " << brief(want);
                } else
                    ASSERT_TRUE(blank(shownText)) << shownText;
            }
        }
        marked.check(*store.allBlocks());
    }
    // `text` typed into the paragraph of the caret, unless another is named.
    // Typed inside one paragraph, the keys must have stored it.
    void typeMarked(const std::string& text, std::optional<QString> into = std::nullopt) {
        const QTextCursor c = edit()->textCursor();
        const int caretAt = c.selectionStart();
        const auto& ranges = view()->ranges();
        // A paragraph the keys take past the length shown whole is shown in
        // part from then on, which refuses the keys after.
        const auto staysWhole = [&](const verbolin::ParagraphRange& r) {
            const QString now = verbolin::paragraphText(view()->text(), r);
            const int selected = c.selectionEnd() - c.selectionStart();
            return now.size() - selected + QString::fromStdString(text).size() <=
                   verbolin::LongParagraph::kLimit;
        };
        bool inOne = std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) {
            return r.location <= caretAt && c.selectionEnd() <= r.end() &&
                   !verbolin::LongParagraph::isCut(view()->text(), r) &&  // which refuses keys
                   staysWhole(r);
        });
        // Not where the document shows it, nor among the view's paragraphs:
        // nowhere the document's caret says.
        bool hidden = false, gone = false;
        if (const auto away = awayCaret()) {
            // Not where the document shows it: in its own paragraph, brought in.
            inOne = away->lands;
            hidden = !away->inScope, gone = away->gone;
            if (!into && away->inScope) into = away->id;
        }
        for (const auto& r : view()->ranges())
            if (!into && !hidden && r.location <= caretAt && caretAt <= r.end()) into = r.id;
        const std::string mark = text.substr(text.find_first_not_of(' '));
        if (into) marked.add(mark, *platform::Uuid::parse(into->toStdString()));
        window->statusBar()->setNotice({});  // what the keys say, not an earlier one
        type(text.c_str());
        const auto& all = *model->store().allBlocks();
        const auto holder = std::find_if(all.begin(), all.end(), [&](const auto& b) {
            return b.text().find(mark) != std::string::npos;
        });
        const bool stored = holder != all.end();
        // A caret whose paragraph left the transcript went to the end of
        // the one in front of it, which owns what it took from then on; one
        // a view hides takes nothing.
        if (!into && gone && stored) marked.add(mark, holder->id);
        EXPECT_TRUE(!hidden || gone || !stored) << mark << " typed at a caret the view hides";
        EXPECT_TRUE(!inOne || stored) << mark << " typed and not stored";
        // Keys that stored nothing were refused, and the status bar says why.
        EXPECT_TRUE(stored || !window->statusBar()->notice().empty())
            << mark << " typed, not stored, and nothing said";
    }
    // The caret or selection where the document does not show it: its
    // paragraph, whether the view's paragraphs have it (a search may hide
    // it) and whether a key must land there (it is brought in first).
    struct AwayCaret {
        QString id;
        bool inScope = false, lands = false;
        bool gone = true;  // its paragraph is no longer in the transcript
    };
    std::optional<AwayCaret> awayCaret() {
        const auto away = view()->awayParagraphs();
        if (!away) return std::nullopt;
        AwayCaret out{QString::fromStdString(away->second.string())};
        const auto all = view()->inputs().paragraphs();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].id == away->second) {
                out.inScope = true;
                // Not the live one, whose keys go to the paragraph before it.
                out.lands =
                    away->first == away->second && &all[i] != all.live() &&
                    !verbolin::LongParagraph::tooLong(QString::fromStdString(all[i].text()));
            }
        for (const auto& b : *model->store().allBlocks())
            for (const auto& s : b.segments) out.gone = out.gone && s.id != away->second;
        return out;
    }
    // Backspace or Delete with a caret that has text of its paragraph on
    // that side must change the text.
    void keyThatDeletes(Qt::Key k) {
        const QTextCursor c = edit()->textCursor();
        bool deletes = false;
        for (const auto& r : view()->ranges())
            if (!c.hasSelection() && !view()->awayParagraphs() && r.location <= c.position() &&
                c.position() <= r.end()) {
                const int from = k == Qt::Key_Backspace ? r.location : c.position();
                const int to = k == Qt::Key_Backspace ? c.position() : r.end();
                deletes =
                    !verbolin::paragraphText(view()->text(), {r.id, from, to - from}).isEmpty() &&
                    !verbolin::LongParagraph::isCut(view()->text(), r);
            }
        const auto before = shown(*view());
        key(k);
        EXPECT_TRUE(!deletes || !view() || shown(*view()) != before)
            << "a key that deletes changed nothing";
    }
    // Every paragraph emptied by plain edits, one after another; the id of
    // the last, which holds the caret.
    std::optional<QString> emptyEveryParagraph() {
        std::optional<QString> last;
        for (int guard = 0; guard < 100 && timelineShown(); ++guard) {
            const auto& all = view()->ranges();
            const auto r =
                std::find_if(all.begin(), all.end(), [](const auto& p) { return p.length > 0; });
            if (r == all.end()) break;
            last = r->id;
            placeCursor(r->location, r->end());
            key(Qt::Key_Backspace);
        }
        return last;
    }
    void landMarked(const std::string& mark) {
        landed.push_back(land("Utterance " + mark + "."));
        marked.add(mark, landed.back().id);
    }
    // The wheel turned from the caret, then a key: it lands in the caret's
    // paragraph, or nowhere.
    void wheelThenKey(int notches, const std::string& text) {
        const QTextCursor c = edit()->textCursor();
        std::optional<QString> into;
        for (const auto& r : view()->ranges())
            if (!c.hasSelection() && r.location <= c.position() && c.position() <= r.end() &&
                !verbolin::LongParagraph::isCut(view()->text(), r))
                into = r.id;
        if (const auto away = awayCaret())
            into = away->lands ? std::optional(away->id) : std::nullopt;
        if (!into) return;
        marked.add(text, *platform::Uuid::parse(into->toStdString()));
        wheel(notches);
        type(text.c_str());
    }
    // Ctrl+Z until it changes nothing more: the transcript as it started,
    // beside the utterances that landed, all of it shown.
    void undoAllToTheStart() {
        undoAll();
        auto expected = original;
        expected.insert(expected.end(), landed.begin(), landed.end());
        EXPECT_EQ(described(model->store().segments.peek()), described(expected));
        // All of it held again from the top: from whichever end the view
        // does not hold yet, which a larger bound alone does not bring in.
        view()->windowParagraphs = 300;
        const auto ctrl = Qt::ControlModifier;
        if (timelineShown())
            key(Qt::Key_Home, ctrl), key(Qt::Key_End, ctrl), key(Qt::Key_Home, ctrl);
        EXPECT_EQ(onScreen(), paragraphTexts(expected));
    }
    // Each word of four letters or more as its paragraph's, nothing landed yet.
    void markWordsOf(const std::vector<std::string>& texts) {
        marked = {}, landed.clear();
        for (size_t i = 0; i < texts.size(); ++i)
            for (const auto& word : QString::fromStdString(texts[i]).split(' '))
                if (word.size() >= 4) marked.add(word.toStdString(), original[i].id, true);
    }
    // Five short paragraphs, or the five, each but the last followed by one
    // of words of its own a few screens deep.
    static std::vector<std::string> randomRunTexts(bool deep) {
        const std::vector<std::string> five = {
            "Knowledge is power.", "They got in everything.", "That is all\u200B I ask.",
            "Nobody saw the second train leave.", "We will meet again on Friday."};
        if (!deep) return five;
        std::vector<std::string> out;
        for (size_t i = 0; i < five.size(); ++i) {
            out.push_back(five[i]);
            if (i + 1 == five.size()) break;
            std::string text;
            for (int more = 0; more < 25; ++more)
                for (const char* word : {"amber", "brook", "cedar", "delta", "ember", "fjord"})
                    text += std::string(text.empty() ? "" : " ") + word + char('q' + i);
            out.push_back(text + ".");
        }
        return out;
    }
    // The wheel turned from the caret, then Backspace or Delete: only the
    // caret's paragraph may change.
    void wheelThenDelete(int notches) {
        const QTextCursor c = edit()->textCursor();
        std::optional<QString> into;
        for (const auto& r : view()->ranges())
            if (!c.hasSelection() && r.location <= c.position() && c.position() <= r.end())
                into = r.id;
        if (const auto away = awayCaret())
            into = away->inScope ? std::optional(away->id) : std::nullopt;
        if (!into) return;
        const auto before = *model->store().allBlocks();
        wheel(notches);
        key(notches > 0 ? Qt::Key_Backspace : Qt::Key_Delete);
        const auto caretAt = platform::Uuid::parse(into->toStdString());
        for (const auto& b : *model->store().allBlocks()) {
            const auto was = std::find_if(before.begin(), before.end(),
                                          [&](const auto& p) { return p.id == b.id; });
            EXPECT_TRUE(b.id == caretAt || was == before.end() || was->text() == b.text())
                << "a key after the wheel changed another paragraph: " << brief(b.text());
        }
    }
    // The last step undone and put again: the transcript is as it was.
    void undoThenRedo() {
        const auto before = texts(model->store());
        // With nothing to undo (an undo elsewhere took the last step back)
        // the undo changes nothing, and the redo then rightly does.
        const bool undoable = window->editor().edits().canUndo();
        undo();
        ASSERT_NO_FATAL_FAILURE(checkInStep());
        if (!undoable) {
            EXPECT_TRUE(texts(model->store()) == before) << "an undo with nothing to undo";
            return;
        }
        key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_TRUE(texts(model->store()) == before)
            << "an undo then a redo changed the transcript";
    }
    // Ctrl+Home or Ctrl+End, with Shift or not; typing `mark` there when it
    // left a caret.
    void toAnEnd(const std::function<int(int)>& pick, const std::string& mark) {
        const bool selecting = pick(2);
        key(pick(2) ? Qt::Key_Home : Qt::Key_End,
            Qt::ControlModifier | (selecting ? Qt::ShiftModifier : Qt::NoModifier));
        ASSERT_NO_FATAL_FAILURE(checkInStep());
        if (!selecting && view()->plainSelectedText().isEmpty()) {
            // Drawn as it always was, so that each seed still makes the
            // steps it made: the number itself could repeat an earlier
            // step's mark, which then read as typed into its paragraph.
            pick(1000);
            typeMarked(" " + mark);
        }
    }
    // Another sidebar entry and back, with an undo there or not.
    void elsewhereAndBack(bool undoThere) {
        std::string other = verbolin::EditorModel::kAllScope;
        for (const auto& item : model->store().sessionItems()) other = item.id;
        choose(other);
        SCOPED_TRACE("in " + other);
        checkInStep();
        if (undoThere) undoWhereFocusIs(), checkInStep();
        choose(verbolin::EditorModel::kAllScope);
    }
    // For the random runs, steps the mouse and other roads make.
    using Pick = std::function<int(int)>;
    // A triple-click, then typing over what it selected.
    void tripleClickAndType(const Pick& pick, const std::string& typed) {
        const auto& all = view()->ranges();
        if (all.empty()) return;
        const auto r = all[size_t(pick(int(all.size())))];
        const int at = r.location + pick(r.length + 1);
        doubleClick(at), click(at);
        if (pick(2)) typeMarked(typed);
    }
    // A selection key from an emptied paragraph, then a key or not.
    void selectionKeyFromAnEmptiedParagraph(const Pick& pick, const std::string& typed) {
        const auto& all = view()->ranges();
        const auto r =
            std::find_if(all.begin(), all.end(), [](const auto& p) { return p.length == 0; });
        if (r == all.end()) return;
        caret(int(r - all.begin()), 0);
        const auto shift = Qt::ShiftModifier;
        const std::pair<Qt::Key, Qt::KeyboardModifiers> keys[] = {
            {Qt::Key_Left, shift},           {Qt::Key_Right, shift}, {Qt::Key_Up, shift},
            {Qt::Key_Down, shift},           {Qt::Key_Home, shift},  {Qt::Key_End, shift},
            {Qt::Key_A, Qt::ControlModifier}};
        const auto [k, mods] = keys[pick(int(std::size(keys)))];
        key(k, mods);
        if (pick(2)) type(typed.c_str());
    }
    // A paragraph emptied, Return or Enter in it, then typing: the break is
    // the paragraph's own text.
    void returnInAnEmptiedParagraph(const Pick& pick, const std::string& typed) {
        const auto& all = view()->ranges();
        if (all.empty()) return;
        const auto r = all[size_t(pick(int(all.size())))];
        if (verbolin::LongParagraph::isCut(view()->text(), r)) return;  // refuses every key
        placeCursor(r.location, r.end()), key(Qt::Key_Backspace);
        pick(2) ? key(Qt::Key_Return) : key(Qt::Key_Enter, Qt::KeypadModifier);
        typeMarked(typed, r.id);
        for (const auto& now : view()->ranges())
            EXPECT_TRUE(now.id != r.id || view()->text().string().mid(now.location, 1) == "\n");
    }
    // Text put in by a road around the keys (as an input method or a
    // middle-click paste does), wherever the selection is: stored, or
    // taken back.
    void insertAroundTheKeys(const Pick& pick, const std::string& m) {
        const auto& all = view()->ranges();
        if (all.empty()) return;
        const auto r = all[size_t(pick(int(all.size())))];
        placeCursor(r.location + pick(r.length + 1), r.location + pick(r.length + 1));
        if (pick(3) == 0) key(Qt::Key_Left, Qt::ShiftModifier, pick(6) + 1);
        // The keys may have let the window trim what it held: the paragraph
        // is looked for among those held now.
        const QTextCursor c = edit()->textCursor();
        const auto& now = view()->ranges();
        const auto in = std::find_if(now.begin(), now.end(), [&](const auto& p) {
            return p.location <= c.selectionStart() && c.selectionEnd() <= p.end();
        });
        const bool inOne = in != now.end();
        if (inOne) marked.add(m, *platform::Uuid::parse(in->id.toStdString()));
        edit()->insertPlainText(QString::fromStdString(m));
        settle();
        for (const auto& b : *model->store().allBlocks())
            EXPECT_TRUE(inOne || b.text().find(m) == std::string::npos)
                << m << " was taken in over a paragraph break";
    }
    // A middle-click paste of the X selection somewhere in a paragraph,
    // where the platform has that selection (the test's run under an X
    // server); elsewhere text put in around the keys.
    void middleClickPaste(const Pick& pick, const std::string& m) {
        if (!QGuiApplication::clipboard()->supportsSelection()) return insertAroundTheKeys(pick, m);
        const auto& all = view()->ranges();
        if (all.empty()) return;
        const auto r = all[size_t(pick(int(all.size())))];
        if (verbolin::LongParagraph::isCut(view()->text(), r)) return;  // refuses every paste
        QTextCursor c(edit()->document());
        c.setPosition(r.location + pick(r.length + 1));
        marked.add(m, *platform::Uuid::parse(r.id.toStdString()));
        QGuiApplication::clipboard()->setText(QString::fromStdString(m), QClipboard::Selection);
        QTest::mouseClick(edit()->viewport(), Qt::MiddleButton, {}, edit()->cursorRect(c).center());
        settle();
        const auto& blocks = *model->store().allBlocks();
        EXPECT_TRUE(
            std::any_of(blocks.begin(), blocks.end(),
                        [&](const auto& b) { return b.text().find(m) != std::string::npos; }))
            << m << " pasted by a middle-click and not stored";
    }
    // A selection's end as the user made it: a paragraph and an offset in it.
    struct TextPoint {
        std::string id;
        int offset = 0;
    };
    // Where `position` of the held text is, as the start (or the end) of a
    // selection: between paragraphs it is the next one's start (the last one's end).
    std::optional<TextPoint> pointAt(int position, bool isStart) {
        const auto& all = view()->ranges();
        for (size_t i = 0; i < all.size(); ++i) {
            const auto& r = all[i];
            // Counted without the break marks the view puts into long words.
            if (r.location <= position && position <= r.end())
                return TextPoint{r.id.toStdString(),
                                 int(verbolin::paragraphText(
                                         view()->text(), {r.id, r.location, position - r.location})
                                         .size())};
            if (position < r.location)
                return isStart  ? TextPoint{r.id.toStdString(), 0}
                       : i == 0 ? std::nullopt
                                : std::optional(
                                      TextPoint{all[i - 1].id.toStdString(), all[i - 1].length});
        }
        return std::nullopt;
    }
    // What a copy from `from` to `to` must hold, read from the transcript
    // itself: the characters of each paragraph between, one blank line
    // between paragraphs, empty ones adding nothing, and one too long to be
    // shown whole taken whole. Nothing when an end is not in the transcript.
    std::optional<QString> copiedFromTranscript(const TextPoint& from, const TextPoint& to) {
        const auto& all = *model->store().allBlocks();
        const auto indexOf = [&](const std::string& id) {
            const auto uuid = platform::Uuid::parse(id);
            return std::find_if(all.begin(), all.end(),
                                [&](const auto& b) { return uuid && b.id == *uuid; }) -
                   all.begin();
        };
        const auto first = size_t(indexOf(from.id)), last = size_t(indexOf(to.id));
        if (first >= all.size() || last >= all.size() || last < first) return std::nullopt;
        QString out;
        for (size_t i = first; i <= last; ++i) {
            const QString text = QString::fromStdString(all[i].text());
            const bool whole = verbolin::LongParagraph::tooLong(text);
            const int start =
                i == first && !whole ? std::clamp(from.offset, 0, int(text.size())) : 0;
            const int end = i == last && !whole ? std::clamp(to.offset, start, int(text.size()))
                                                : int(text.size());
            if (start == end) continue;
            if (!out.isEmpty() && !out.endsWith(QStringLiteral("\n\n")))
                out += QStringLiteral("\n\n");
            out += text.mid(start, end - start);
        }
        return out;
    }
    bool inFirstHalf(const std::string& id) {
        const auto& all = *model->store().allBlocks();
        const auto uuid = platform::Uuid::parse(id);
        const auto at = std::find_if(all.begin(), all.end(),
                                     [&](const auto& b) { return uuid && b.id == *uuid; });
        return size_t(at - all.begin()) < all.size() / 2;
    }
    // An offset in paragraph `r`, often at a space or just past one, so that
    // a selection starts or ends with it.
    int offsetNearASpace(const Pick& pick, const verbolin::ParagraphRange& r) {
        const QString text = view()->text().string().mid(r.location, r.length);
        std::vector<int> spaces;
        for (int i = 0; i < text.size(); ++i)
            if (text[i] == QLatin1Char(' ')) spaces.push_back(i), spaces.push_back(i + 1);
        if (spaces.empty() || pick(3) == 0) return pick(r.length + 1);
        return spaces[size_t(pick(int(spaces.size())))];
    }
    void drag(int from, int to) {
        // A press inside a selection starts a drag of its text, not a new
        // selection: under an X server its loop then waits for the button's
        // release from the server itself, which the test's events never
        // make (offscreen, with no drag and drop, it ends at once). A user
        // selecting anew clicks away from the old selection first.
        placeCursor(from, from);
        QTextCursor c(edit()->document());
        c.setPosition(from);
        QTest::mousePress(edit()->viewport(), Qt::LeftButton, {}, edit()->cursorRect(c).center());
        c.setPosition(to);
        const QPoint there = edit()->cursorRect(c).center();
        QTest::mouseMove(edit()->viewport(), there);
        QTest::mouseRelease(edit()->viewport(), Qt::LeftButton, {}, there);
        settle();
    }
    // A selection made by a drag or by Shift and the arrow keys, in one
    // paragraph or across two, now and then scrolled far out of what is
    // held: Ctrl+C copies exactly what the transcript holds there. Now and
    // then, where it is all held, Ctrl+X then Ctrl+V at the same place gives
    // back the transcript as it was.
    void copyASelection(const Pick& pick) {
        const bool scrolled = pick(3) == 0;
        const auto& all = view()->ranges();
        if (all.empty()) return;
        const size_t p = size_t(pick(int(all.size())));
        const auto r = all[p], other = all[std::min(p + size_t(pick(2)), all.size() - 1)];
        const int from = r.location + offsetNearASpace(pick, r);
        const int to = other.location + offsetNearASpace(pick, other);
        if (pick(2)) {
            drag(from, to);
        } else {
            edit()->setFocus(), placeCursor(from, from);
            key(from <= to ? Qt::Key_Right : Qt::Key_Left, Qt::ShiftModifier,
                std::abs(to - from) % 40 + 1);
        }
        const QTextCursor c = edit()->textCursor();
        if (!c.hasSelection()) return;
        // The gesture itself may have paged what is held and let go of an
        // end's paragraph: the document then shows the selection only up to
        // what is held, and the selection's own end is not read from it.
        if (view()->awayParagraphs()) return;
        const auto start = pointAt(c.selectionStart(), true),
                   end = pointAt(c.selectionEnd(), false);
        if (!start || !end) return;
        const auto want = copiedFromTranscript(*start, *end);
        if (!want) return;
        // Away to the far end of the transcript, so that it is no longer held.
        if (scrolled) wheel(inFirstHalf(start->id) ? -300 : 300);
        QGuiApplication::clipboard()->setText(QStringLiteral("before the copy"));
        key(Qt::Key_C, Qt::ControlModifier);
        // Compared, not printed whole: a paragraph may hold megabytes.
        const std::string copied = QGuiApplication::clipboard()->text().toStdString();
        ASSERT_TRUE(copied == want->toStdString())
            << brief(copied) << " copied, " << brief(want->toStdString()) << " selected"
            << (scrolled ? " and scrolled away" : "");
        const auto& held = view()->ranges();
        const bool refused = std::any_of(held.begin(), held.end(), [&](const auto& p) {
            return verbolin::LongParagraph::isCut(view()->text(), p);  // which refuses keys
        });
        if (scrolled || refused || pick(3)) return;
        const auto before = paragraphs(model->store());
        key(Qt::Key_X, Qt::ControlModifier), key(Qt::Key_V, Qt::ControlModifier);
        EXPECT_TRUE(paragraphs(model->store()) == before)
            << "a cut then a paste changed the transcript";
    }
    // The test runs no event loop of its own, so a loop running under a
    // step is a drag's, a menu's or a dialog's that the step opened. Under
    // an X server such a loop waits for the user's own hand (a drag's for
    // the button's release from the server itself) and would hold the run
    // until the test's timeout: one still running a few ticks later is
    // ended, and fails the run at the `step` it was. One of another kind,
    // which nothing here can end, stops the program there. The step is
    // read as it goes: the run's own must outlive what this returns.
    std::unique_ptr<QTimer> endingModalLoops(unsigned seed, bool deep, const int& step) {
        const auto where = [=, &step] {
            return (deep ? "d" : "") + std::to_string(seed) + " step " + std::to_string(step);
        };
        auto ticker = std::make_unique<QTimer>();
        QObject::connect(ticker.get(), &QTimer::timeout, ticker.get(),
                         [where, ticks = 0]() mutable {
                             if (QThread::currentThread()->loopLevel() == 0) return void(ticks = 0);
                             if (++ticks == 10) {
                                 std::cerr << "a loop nothing ends held " << where() << '\n';
                                 std::abort();
                             }
                             if (ticks != 5) return;
                             QDrag::cancel();
                             if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
                             if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
                             FAIL() << "a modal loop stayed open at " << where();
                         });
        ticker->start(1000);
        return ticker;
    }
    // Step `n` of a random run, of which `edits` are edits. By hand,
    // VERBOLIN_RANDOM_TRACE=1 prints each, with the caret and what is held
    // before it, to find where a failing seed goes wrong.
    int traced(unsigned seed, bool deep, int step, int n, int edits) {
        if (!std::getenv("VERBOLIN_RANDOM_TRACE")) return n;
        const QTextCursor c = edit()->textCursor();
        std::cerr << (deep ? "d" : "") << seed << " step " << step << ": "
                  << (n < edits ? "edit " : "other ") << (n < edits ? n : n - edits) << ", caret "
                  << c.anchor() << '-' << c.position() << " of " << view()->text().length()
                  << ", held " << view()->ranges().size()
                  << (view()->awayParagraphs() ? ", caret away" : "") << '\n';
        return n;
    }
    // Ctrl+Z until it changes nothing more.
    void undoAll() {
        const auto now = [&] { return std::pair(model->store().segments.peek(), onScreen()); };
        for (int i = 0, still = 0; i < 3000 && still < 5; ++i) {
            const auto before = now();
            undoWhereFocusIs();
            still = now() == before ? still + 1 : 0;
        }
    }
    // Compared, not printed: a failure must not print megabytes.
    void storedAsIs(const std::vector<std::string>& want) {
        EXPECT_TRUE(texts(model->store()) == want && texts(inFile()) == want);
    }
    // Rows of long text, too long to write out in their table.
    // 300,000 letters without a space pasted at a paragraph's end are stored
    // whole, then shown in part, never laid out whole, and refuse keys; undo
    // takes them out.
    void pasteLettersPastTheLimit() {
        const std::string pasted = unbrokenLetters(300'000), grown = three[1] + pasted;
        start(three), caret(1, -1), paste(pasted.c_str());
        storedAsIs({three[0], grown, three[2]});
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{three[0], shownOf(grown), three[2]}));
        EXPECT_LE(longestUnbroken(), verbolin::LongParagraph::kUnbrokenRun);
        caret(1, -1), type("x"), expectNotice({"too long", "copy it whole"});
        storedAsIs({three[0], grown, three[2]});
        undo(), expect(three);
    }
    // A paragraph of 199,999 units typed past 200,000 is stored whole and
    // shown in part from then on.
    void typePastTheLimit() {
        std::string words;
        while (words.size() < 199'999) words += "Spoken words. ";
        words.resize(199'999);
        start({three[0], words, three[2]});
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{three[0], words, three[2]}));
        caret(1, -1), type("ab");
        storedAsIs({three[0], words + "ab", three[2]});
        EXPECT_TRUE(onScreen() ==
                    (std::vector<std::string>{three[0], shownOf(words + "ab"), three[2]}));
        caret(1, 5), type("c"), expectNotice({"too long"});
        storedAsIs({three[0], words + "ab", three[2]});
    }
    // 200,000 letters pasted after an emoji and a key: stored and shown
    // whole, the length said in characters.
    void pasteAfterAnEmoji() {
        const std::string pasted = unbrokenLetters(size_t(verbolin::LongParagraph::kLimit));
        const std::string grown = three[1] + "\U0001F600x" + pasted;
        start(three), caret(1, -1), paste("\U0001F600"), type("x"), paste(pasted.c_str());
        storedAsIs({three[0], grown, three[2]});
        ASSERT_NO_FATAL_FAILURE(checkInStep());  // the notice counts the emoji once
    }
    // 150,000 letters without a space pasted inside a paragraph are shown
    // whole with break opportunities that keys pass over and that are never
    // stored or copied.
    void lineSeparatorsKept() {
        const std::vector<std::string> held = {"Alpha\u2028one.", three[1], three[2]};
        start(held), caret(0, 0), type("X");
        expect({"XAlpha\u2028one.", three[1], three[2]});
        caret(1, 0), paste("a\u2028b"), key(Qt::Key_Return, Qt::ShiftModifier);
        expect({"XAlpha\u2028one.", "a\u2028b\n" + three[1], three[2]});
        const std::string letters(300, 'w');
        caret(2, 0), paste(("c\u2028" + letters).c_str());
        expectStored({"XAlpha\u2028one.", "a\u2028b\n" + three[1], "c\u2028" + letters + three[2]});
    }
    // A paragraph of 40,000 units is laid out in parts, each a block of the
    // document: a key, Backspace and Delete beside where a part ends land
    // in the paragraph's own text there, and a copy across it holds no
    // line break.
    void fourMegabytesShownInPart() {
        std::string huge;
        while (huge.size() < size_t(4 << 20)) huge += "Words spoken for a long time. ";
        huge.resize(4 << 20);
        const QString notice = verbolin::LongParagraph::notice(qsizetype(huge.size()));
        const std::string cut =
            (QString::fromStdString(huge.substr(0, verbolin::LongParagraph::kShown)) +
             QLatin1Char('\n') + notice)
                .toStdString();
        // The texts compared, not printed: a failure must not print megabytes.
        const auto storedAre = [&](const std::vector<std::string>& want) {
            EXPECT_TRUE(texts(model->store()) == want && texts(inFile()) == want);
        };
        start({three[0], huge, three[2]});
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{three[0], cut, three[2]}));
        caret(1, 5), type("x"), expectNotice({"too long", "copy it whole"});
        caret(1, -1), type("y"), key(Qt::Key_Backspace);
        select(1), key(Qt::Key_Delete), paste("pasted");
        caret(2, 0), key(Qt::Key_Backspace);
        storedAre({three[0], huge, three[2]});
        placeCursor(at(1, 0), at(1, -1)), key(Qt::Key_C, Qt::ControlModifier);
        // Copied whole, not as shown.
        EXPECT_TRUE(QGuiApplication::clipboard()->text() == QString::fromStdString(huge).trimmed());
        caret(2, -1), type(" Z"), caret(0, 0), type("Y");
        storedAre({"Y" + three[0], huge, three[2] + " Z"});
        search("spoken");
        EXPECT_TRUE(onScreen() == std::vector<std::string>{cut});
        caret(0, 3), type("w"), expectNotice({"too long"});
        storedAre({"Y" + three[0], huge, three[2] + " Z"});
    }

    void keysWhereAPartEnds() {
        std::string words;
        while (words.size() < 40'000) words += "Spoken words. ";
        start({words, three[1], three[2]});
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{words, three[1], three[2]}));
        // Where the first part ends (a block's end inside the paragraph) and
        // the paragraph's own offset there.
        const auto partEnd = [&] {
            const QTextBlock first = edit()->document()->findBlock(at(0, 0));
            return first.position() + first.length() - 1;
        };
        const auto offsetAt = [&](int position) {
            return size_t(verbolin::textOffset(view()->text(), view()->ranges()[0], position));
        };
        ASSERT_LT(partEnd(), at(0, -1)) << "laid out as one block";
        EXPECT_LE(partEnd() - at(0, 0), verbolin::LongParagraph::kPartFrom);
        size_t offset = offsetAt(partEnd());
        placeCursor(partEnd() + 1, partEnd() + 1), type("Q");
        words.insert(offset, "Q");
        storedAsIs({words, three[1], three[2]});
        key(Qt::Key_Backspace, {}, 2);  // the Q, then the character before the part's end
        words.erase(offset - 1, 2);
        storedAsIs({words, three[1], three[2]});
        offset = offsetAt(partEnd());
        placeCursor(partEnd(), partEnd()), key(Qt::Key_Delete);
        words.erase(offset, 1);
        storedAsIs({words, three[1], three[2]});
        placeCursor(partEnd() - 3, partEnd() + 4), key(Qt::Key_C, Qt::ControlModifier);
        offset = offsetAt(partEnd());
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), words.substr(offset - 3, 6));
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{words, three[1], three[2]}));
    }
    void pasteLettersShownWhole() {
        const std::string pasted = unbrokenLetters(150'000);
        std::string grown = "Knowledge" + pasted + " is power.";
        start(three), caret(0, 9), paste(pasted.c_str());
        storedAsIs({grown, three[1], three[2]});
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{grown, three[1], three[2]}));
        EXPECT_LE(longestUnbroken(), verbolin::LongParagraph::kUnbrokenRun);
        const int mark = int(edit()->document()->toPlainText().indexOf(QChar(0x200B)));
        ASSERT_GT(mark, 0);
        // Each arrow step moves the caret by a letter seen, never onto a mark alone.
        placeCursor(mark - 1, mark - 1), key(Qt::Key_Right), key(Qt::Key_Right);
        EXPECT_EQ(edit()->textCursor().position(), mark + 2);
        key(Qt::Key_Left, Qt::ShiftModifier), key(Qt::Key_Left, Qt::ShiftModifier);
        EXPECT_EQ(edit()->textCursor().position(), mark - 1);
        placeCursor(mark + 1, mark + 1), key(Qt::Key_Backspace);
        grown.erase(size_t(mark - 1), 1);
        placeCursor(mark - 1, mark - 1), key(Qt::Key_Delete);
        grown.erase(size_t(mark - 1), 1);
        storedAsIs({grown, three[1], three[2]});
        caret(0, -1), type("Z"), grown += "Z";
        storedAsIs({grown, three[1], three[2]});
        placeCursor(at(0, 0), at(0, -1)), key(Qt::Key_C, Qt::ControlModifier);
        EXPECT_TRUE(QGuiApplication::clipboard()->text().toStdString() == grown);
        undo(4), expect(three);
    }
    // A letter and 50,000 combining marks pasted: stored and shown whole,
    // never far without a break opportunity, each one a run of the document
    // of its own (Qt shapes each run apart: the marks shaped whole held the
    // window for seconds a key), and taken by keys and copies as any text.
    void pasteMarksShownWhole() {
        std::string marks = "a";
        for (int i = 0; i < 50'000; ++i) marks += "\u0301";
        const std::string grown = three[1] + marks;
        start(three), caret(1, -1), paste(marks.c_str());
        storedAsIs({three[0], grown, three[2]});
        EXPECT_TRUE(onScreen() == (std::vector<std::string>{three[0], grown, three[2]}));
        EXPECT_LE(longestUnbroken(), verbolin::LongParagraph::kUnbrokenRun + 32);
        int breaks = 0, alone = 0;
        for (QTextBlock b = edit()->document()->begin(); b.isValid(); b = b.next())
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                const QString part = it.fragment().text();
                breaks += int(part.count(QChar(0x200B)));
                alone += part == QString(QChar(0x200B)) ? 1 : 0;
            }
        EXPECT_GT(breaks, 200);
        EXPECT_EQ(alone, breaks);
        caret(1, -1), type("z");
        storedAsIs({three[0], grown + "z", three[2]});
        placeCursor(at(1, 0), at(1, -1)), key(Qt::Key_C, Qt::ControlModifier);
        EXPECT_TRUE(QGuiApplication::clipboard()->text().toStdString() == grown + "z");
        undo(2), expect(three);
    }
    // The font taken to its largest beside long paragraphs: a quit asked
    // for meanwhile is answered before all the text has the new size, which
    // all of it then takes in steps, typing and speech meanwhile kept; then
    // smaller and larger again, each taken whole.
    void fontChangeBesideLongParagraphs() {
        std::vector<std::string> paragraphs = {three[0]};
        for (int i = 0; i < 30; ++i) {
            std::string words = "Paragraph " + std::to_string(i) + ".";
            while (words.size() < 300'000) words += " Words spoken for a long time.";
            paragraphs.push_back(words);
        }
        paragraphs.push_back(three[2]);
        start(paragraphs);
        // Opened at the newest, holding as many as stay within Qt's depth.
        ASSERT_TRUE(until([&] { return view()->heldTo() == paragraphs.size(); }));
        QSlider* slider = window->fontSlider();
        const double largest = double(slider->maximum()) / verbolin::EditorWindow::kSliderScale;
        std::optional<int> oldAtQuit;
        // The watcher given longer than the first steps may take under a sanitizer.
        verbolin::QuitSignals quit([&](int) { oldAtQuit = blocksNotInSize(largest); },
                                   std::chrono::minutes(5));
        ASSERT_TRUE(quit.installed());
        ::raise(SIGTERM);
        slider->setValue(slider->maximum());
        ASSERT_TRUE(until([&] { return oldAtQuit.has_value(); }));
        EXPECT_GT(*oldAtQuit, 0) << "the quit waited for the whole layout";
        // Typed at the oldest, brought in by Ctrl+Home, and at the newest.
        key(Qt::Key_Home, Qt::ControlModifier);
        caret(0, -1), type(" Y");
        key(Qt::Key_End, Qt::ControlModifier);
        caret(int(view()->ranges().size()) - 1, -1), type(" Z");
        land("More words.");
        EXPECT_TRUE(until([&] { return blocksNotInSize(largest) == 0; }));
        EXPECT_TRUE(view()->atBottom());
        paragraphs.front() += " Y", paragraphs.back() += " Z";
        paragraphs.push_back("More words.");
        storedAsIs(paragraphs);
        EXPECT_EQ(onScreen().back(), "More words.");
        // Smaller, then larger again: a relayout below where Qt places lines
        // once hung for good.
        for (const int value : {slider->minimum() + (slider->maximum() - slider->minimum()) / 4,
                                slider->maximum(), slider->minimum()}) {
            slider->setValue(value);
            const double size = double(value) / verbolin::EditorWindow::kSliderScale;
            EXPECT_TRUE(until([&] { return blocksNotInSize(size) == 0; })) << size;
        }
        storedAsIs(paragraphs);
    }
    // Events, and a step of the view's work later in turn, until `done`;
    // false after five minutes.
    bool until(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            QApplication::processEvents();
            world.main.advance(verbolin::TimelineTextView::kFillPause);
        }
        return done();
    }
    // The longest stretch of the document without a break opportunity:
    // laying it out takes time that grows with its square.
    int longestUnbroken() {
        int longest = 0, run = 0;
        for (const QChar c : edit()->document()->toPlainText())
            longest = std::max(longest, run = c.isSpace() || c.unicode() == 0x200B ? 0 : run + 1);
        return longest;
    }
    // Blocks of the document whose characters or line height are not of
    // `size` (a font size of the slider).
    int blocksNotInSize(double size) {
        const QFont font = verbolin::UiFonts::body(size);
        int off = 0;
        for (QTextBlock b = edit()->document()->begin(); b.isValid(); b = b.next()) {
            bool in = b.blockFormat().lineHeight() ==
                      size * verbolin::TimelineRenderer::kLineSpacingFactor;
            for (auto it = b.begin(); in && !it.atEnd(); ++it)
                in = it.fragment().charFormat().font().pointSizeF() == font.pointSizeF() &&
                     it.fragment().charFormat().font().pixelSize() == font.pixelSize();
            off += in ? 0 : 1;
        }
        return off;
    }
};

// Undo and redo change only the paragraph the step was made in, wherever the
// caret is now; a paragraph emptied leaves the transcript and its file, and
// comes back as it was, times, edit marks and all.
TEST_F(EditingTest, UndoPutsTextBackInTheParagraphItWasTakenFrom) {
    const auto ctrl = Qt::ControlModifier;
    const struct {
        const char* name;
        std::function<void()> run;
        bool endsAtTheStart = true;  // undone to the very segments it began with
    } rows[] = {
        {"undo after a click in another paragraph, then redo",
         [&] {
             caret(1, -1), key(Qt::Key_Backspace, {}, 2), click(at(0, 3)), undo();
             expect(three);
             key(Qt::Key_Z, ctrl | Qt::ShiftModifier);
             expect({three[0], "They got in everythin", three[2]});
             undo();
         }},
        {"the same with one Ctrl+Backspace",
         [&] { caret(1, -1), key(Qt::Key_Backspace, ctrl), click(at(0, 3)), undo(); }},
        {"a paragraph emptied, then undone",
         [&] {
             caret(1, -1), key(Qt::Key_Backspace, {}, 23), expect({three[0], three[2]});
             undo(23);
         }},
        {"a paragraph emptied by words, then undone",
         [&] {
             caret(1, -1), key(Qt::Key_Backspace, ctrl, 6), expect({three[0], three[2]});
             undo(6);
         }},
        {"cut in one paragraph, paste in another, undo twice",
         [&] {
             // "got " with its space: the cut takes what it removes.
             placeCursor(at(1, 5), at(1, 9)), key(Qt::Key_X, ctrl), caret(0, -1);
             key(Qt::Key_V, ctrl);
             expect({"Knowledge is power.got ", "They in everything.", three[2]});
             undo(2);
         }},
        {"cuts with a space at either end, each pasted back where it was",
         [&] {
             for (const auto& [from, to] : {std::pair{9, 12}, {10, 13}, {9, 13}}) {
                 std::string shorter = three[0];
                 const std::string taken = shorter.substr(size_t(from), size_t(to - from));
                 shorter.erase(size_t(from), size_t(to - from));
                 placeCursor(at(0, from), at(0, to)), key(Qt::Key_X, ctrl);
                 EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), taken);
                 expect({shorter, three[1], three[2]});
                 key(Qt::Key_V, ctrl), expect(three);
                 undo(2), expect(three);
             }
         }},
        {"undo of a paste with line breaks",
         [&] {
             caret(1, -1), paste("line one\nline two\n\nline four");
             expect({three[0], three[1] + "line one\nline two\n\nline four", three[2]});
             undo();
         }},
        {"typing is undone in one step", [&] { caret(2, -1), type(" Yes, all."), undo(); }},
        {"a paste, a second paste or text put in around the keys is a step of its own",
         [&] {
             caret(1, -1), type("ab"), paste("XY"), type("z");
             undo(), expect({three[0], three[1] + "abXY", three[2]});
             undo(), expect({three[0], three[1] + "ab", three[2]});
             caret(1, -1), paste("VW"), paste("UT");
             undo(), expect({three[0], three[1] + "abVW", three[2]});
             // As an input method's word or a middle-click paste comes in.
             caret(1, -1), edit()->insertPlainText(QStringLiteral("MM")), settle(), type("c");
             undo(), expect({three[0], three[1] + "abVWMM", three[2]});
             undo(3);
         }},
        {"a step of a paragraph deleted since is passed over",
         [&] {
             caret(0, 9), type(" X"), caret(1, -1), type(" Y");
             placeCursor(at(1, 0), at(1, -1)), key(Qt::Key_Backspace, ctrl), undo();
             // That press said why it undid nothing; the next one goes on.
             expect({"Knowledge X is power.", three[2]});
             undo(), expect({three[0], three[2]});
         },
         false},
        {"undo after an utterance lands",
         [&] {
             caret(0, 9), type(" X");
             auto s = uitest::segment(0, 0, "Fresh words.");
             s.start = s.end = std::chrono::system_clock::now();
             model->store().append(s);
             settle(), undo();
             expect({three[0], three[1], three[2], "Fresh words."});
         },
         false},
        {"undo and redo of a change scrolled far out of sight, from the search field or with "
         "the caret in another paragraph, say so",
         [&] { undoneOutOfSight(true), undoneOutOfSight(false); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        start(three);
        row.run();
        if (!row.endsAtTheStart) continue;
        expect(three);
        EXPECT_EQ(model->store().segments.peek(), original);
    }
}

// An edit stays in the paragraph it was made in, and is stored, in every
// view: a session's, the stretch before it, a search's; a paragraph emptied
// or left blank keeps its place, id and times while the caret is in it, and
// the caret keeps its place when an utterance joins its paragraph.
TEST_F(EditingTest, EditsStayInTheirParagraphInEveryView) {
    using namespace std::chrono_literals;
    const std::vector<std::string> four = {"Alpha one.", "Charlie seven eight.", "Delta nine ten.",
                                           "Echo last."};
    const std::vector<std::string> hits = {"Apple one two.", "Banana three four.",
                                           "Apple five six."};
    const auto& stored = model->store().segments;
    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"a paragraph across a session's start, edited in the session's view",
         [&] {
             startAcrossASession();
             EXPECT_EQ(onScreen(), std::vector<std::string>{"After the start."});
             caret(0, -1), type(" Y");
             EXPECT_EQ(onScreen(), std::vector<std::string>{"After the start. Y"});
             expectStored({"Before the start.", "After the start. Y"});
             expectInPlaceOf(1);
             undo(), expectStored({"Before the start.", "After the start."});
             EXPECT_EQ(described(stored.peek()), described(original));
         }},
        {"the same paragraph edited in the view of the stretch before the session",
         [&] {
             startAcrossASession();
             choose(dayOf(original[0].start));
             EXPECT_EQ(onScreen(), std::vector<std::string>{"Before the start."});
             caret(0, -1), type(" Y");
             expectStored({"Before the start. Y", "After the start."});
             expectInPlaceOf(0);
             undoWhereFocusIs();
             EXPECT_EQ(described(stored.peek()), described(original));
         }},
        {"a search hit edited until it no longer matches stays the user's",
         [&] {
             start(hits), search("apple");
             caret(0, -1), key(Qt::Key_Backspace, {}, 12);
             expectStored({"Ap", hits[1], hits[2]});
             EXPECT_EQ(onScreen(), (std::vector<std::string>{"Ap", hits[2]}));
             click(at(1, 3));  // the caret leaves it: the search hides it
             EXPECT_EQ(onScreen(), std::vector<std::string>{hits[2]});
             undo(), expectStored(hits);
             EXPECT_EQ(onScreen(), (std::vector<std::string>{hits[0], hits[2]}));
         }},
        {"the only paragraph emptied keeps the timeline, and Ctrl+Z brings it back",
         [&] {
             start({three[0]});
             select(0), key(Qt::Key_Backspace);
             expectStored({});
             EXPECT_TRUE(timelineShown());
             EXPECT_EQ(QApplication::focusWidget(), edit());
             undoWhereFocusIs(), expect({three[0]});
             EXPECT_EQ(described(stored.peek()), described(original));
         }},
        {"the same, with Ctrl+Z after a click in the sidebar",
         [&] {
             start({three[0]});
             select(0), key(Qt::Key_Backspace);
             QTest::mouseClick(window->sidebar()->list()->viewport(), Qt::LeftButton, {},
                               window->sidebar()->list()->viewport()->rect().center());
             undoWhereFocusIs(), expect({three[0]});
         }},
        {"a paragraph emptied down to its leading space, then typed into",
         [&] {
             start({four[0], " Bravo two.", "Jyv wyx qvj."});
             caret(1, -1), key(Qt::Key_Backspace, Qt::ControlModifier, 3);  // ".", "two", "Bravo "
             for (const auto& list : {texts(model->store()), texts(inFile())})
                 for (const auto& text : list) EXPECT_EQ(text.find("Bravo"), text.npos);
             type("zz"), expect({four[0], " zz", "Jyv wyx qvj."});
             expectInPlaceOf(1);
         }},
        {"a paragraph's text replaced by a space, then typed into",
         [&] {
             start(four), select(2), type(" "), type("new words");
             expect({four[0], four[1], " new words", four[3]});
             expectInPlaceOf(2);
         }},
        {"a paragraph's text replaced by Return, then typed into",
         [&] {
             start(four), select(2), key(Qt::Key_Return), type("new words");
             expect({four[0], four[1], "\nnew words", four[3]});
             expectInPlaceOf(2);
         }},
        {"a paragraph cleared and retyped",
         [&] {
             start(three), select(1), key(Qt::Key_Backspace), type("New words.");
             expect({three[0], "New words.", three[2]});
             expectInPlaceOf(1);
         }},
        {"a selection across a paragraph break is refused, and the status bar says why",
         [&] {
             start(three), placeCursor(at(0, 3), at(1, 3)), type("x");
             key(Qt::Key_Backspace), expect(three);
             expectNotice({"across paragraphs"});
             // Backspace with nothing before it stays quiet; at a paragraph's
             // start, or Delete at its end, it would join two: that is said.
             start(three), caret(0, 0), key(Qt::Key_Backspace), expectNotice({""});
             EXPECT_EQ(window->statusBar()->notice(), "");
             caret(1, 0), key(Qt::Key_Backspace), expect(three), expectNotice({"cannot be joined"});
             start(three), caret(1, -1), key(Qt::Key_Delete), expect(three);
             expectNotice({"cannot be joined"});
         }},
        {"the caret keeps its place when an utterance joins its paragraph",
         [&] {
             start(three), caret(2, 4), land("More words.", original[2].end + 1s);
             EXPECT_EQ(edit()->textCursor().position(), at(2, 4));
             type(" X"), expectParagraphs({three[0], three[1], "That X is all I ask. More words."});
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
    }
}

// The history is the window's: another sidebar entry, a search, the empty
// window, new words and Delete Paragraph of a neighbour leave it, Ctrl+Z
// works wherever the focus is, and a step whose paragraph is not shown (or
// can no longer be changed) is undone through the transcript (or passed
// over), and the status bar says so.
TEST_F(EditingTest, UndoFollowsTheWindowWhateverItShows) {
    using namespace std::chrono_literals;
    const auto& stored = model->store().segments;
    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"undo after another sidebar entry and back, then redo",
         [&] {
             start(three), caret(1, -1), type(" Y");
             choose(dayOf(original[0].start)), choose(verbolin::EditorModel::kAllScope);
             undoWhereFocusIs(), expect(three);
             key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
             expect({three[0], three[1] + " Y", three[2]});
         }},
        {"undo in another sidebar entry",
         [&] {
             start(three), caret(1, -1), type(" Y"), choose(dayOf(original[0].start));
             undoWhereFocusIs(), expect(three);
         }},
        {"undo of a step whose paragraph the search hides, then after it is cleared",
         [&] {
             start(three), caret(0, 9), type(" X"), caret(1, -1), type(" Y"), caret(0, 0);
             search("knowledge"), undo();
             expectStored({"Knowledge X is power.", three[1], three[2]});
             EXPECT_EQ(onScreen(), std::vector<std::string>{"Knowledge X is power."});
             expectNotice({"not shown", timeOf(1)});
             search(""), undo(), expect(three);
             EXPECT_EQ(described(stored.peek()), described(original));
         }},
        {"Ctrl+Z in the search field: its own typing first, then the timeline's",
         [&] {
             start(three), caret(1, -1), type(" Y");
             window->searchField()->setFocus();
             QTest::keyClicks(window->searchField(), "t"), settle();
             undoWhereFocusIs();
             EXPECT_TRUE(window->searchField()->text().isEmpty());
             expectStored({three[0], three[1] + " Y", three[2]});
             undoWhereFocusIs(), expect(three);
         }},
        {"undo in the empty window",
         [&] {
             start({three[0]}), caret(0, 9), type(" X"), select(0), key(Qt::Key_Backspace);
             window->newSession(), settle(), choose(verbolin::EditorModel::kAllScope);
             EXPECT_FALSE(timelineShown());
             undoWhereFocusIs(), expect({"Knowledge X is power."});
             undoWhereFocusIs(), expect({three[0]});
             EXPECT_EQ(described(stored.peek()), described(original));
         }},
        {"undo after the empty window and new words",
         [&] {
             start({three[0]}), caret(0, 9), type(" X"), select(0), key(Qt::Key_Backspace);
             window->newSession(), settle(), choose(verbolin::EditorModel::kAllScope);
             const auto fresh = land("Fresh words.");
             undoWhereFocusIs(), undoWhereFocusIs(), expect({three[0], "Fresh words."});
             EXPECT_EQ(described(stored.peek()), described({original[0], fresh}));
         }},
        {"an emptied paragraph comes back after Delete Paragraph of the one in front",
         [&] {
             start(three), select(2), key(Qt::Key_Backspace), caret(1, 3), deleteParagraph();
             expect({three[0]});
             undo(), expect({three[0], three[2]});
             undo(), expect({three[0], three[2]});  // Delete Paragraph has no undo
             EXPECT_EQ(described(stored.peek()), described({original[0], original[2]}));
         }},
        {"a step of a paragraph deleted since says it cannot be undone",
         [&] {
             start(three), caret(1, -1), type(" Y"), caret(1, 0), deleteParagraph();
             undo(), expect({three[0], three[2]});
             expectNotice({"cannot undo", timeOf(1)});
         }},
        {"a paragraph put back in front of the one being edited, joining it, is shown once",
         [&] {
             start(three), land("Fresh one."), select(3), key(Qt::Key_Backspace), caret(0, 0);
             land("Fresh two."), caret(3, -1), type(" Y"), undo(2);
             expectParagraphs({three[0], three[1], three[2], "Fresh one. Fresh two."});
             type("Z"), expectParagraphs({three[0], three[1], three[2], "Fresh one.Z Fresh two."});
         }},
        {"an edit of the newest paragraph undone after an utterance joins it",
         [&] {
             start(three), caret(2, 4), type(" X");
             const auto joined = land("More words.", original[2].end + 1s);
             expectParagraphs({three[0], three[1], "That X is all I ask. More words."});
             undo(), expectParagraphs({three[0], three[1], three[2] + " More words."});
             EXPECT_EQ(described(stored.peek()),
                       described({original[0], original[1], original[2], joined}));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
    }
}

// The user's text is the user's alone, a character the view draws an empty
// paragraph with included, and a paragraph too long to show whole, which no
// key changes; every key works in a paragraph that was emptied;
// speech that lands beside it keeps its own segment, and its sidebar entry
// stays while the caret is there.
TEST_F(EditingTest, HeldParagraphsTakeEveryKeyAndKeepTheUsersText) {
    using namespace std::chrono_literals;
    const auto& stored = model->store().segments;

    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"text holding U+200B is the user's: an edit of another paragraph leaves it as it is",
         [&] {
             const std::vector<std::string> zw = {"Alpha one.", "Bravo two.", "Char\u200Blie.",
                                                  "\u200B"};
             start(zw), select(1), key(Qt::Key_Backspace), type("New words.");
             expect({zw[0], "New words.", zw[2], zw[3]});
             expectInPlaceOf(1);
             undo(2), expect(zw);
             EXPECT_EQ(described(stored.peek()), described(original));
         }},
        {"U+200B typed and pasted among letters is stored as the window shows it",
         [&] {
             start(three), caret(0, 9), type("p\u200Bq"), paste("r\u200Bs");
             expect({"Knowledgep\u200Bqr\u200Bs is power.", three[1], three[2]});
         }},
        {"U+2028 held or pasted stays, Shift+Return breaks", [&] { lineSeparatorsKept(); }},
        {"an emptied paragraph typed into: End, or a click at the line's end, then Backspace",
         [&] {
             start(three), select(1), key(Qt::Key_Backspace), type("abc");
             key(Qt::Key_End), key(Qt::Key_Backspace), expect({three[0], "ab", three[2]});
             click(at(0, 2)), click(at(1, -1)), key(Qt::Key_Backspace);
             expect({three[0], "a", three[2]});
             expectInPlaceOf(1);
         }},
        {"an emptied paragraph: Shift+End, Shift+Home, a double-click or Ctrl+A, then typing",
         [&] {
             const std::function<void()> selecting[] = {
                 [&] { key(Qt::Key_End, Qt::ShiftModifier); },
                 [&] { key(Qt::Key_Home, Qt::ShiftModifier); },
                 [&] { doubleClick(at(1, 0)); },
             };
             start(three);
             for (const auto& selectOn : selecting) {
                 select(1), key(Qt::Key_Backspace), selectOn(), type("Sx");
                 expect({three[0], "Sx", three[2]});
                 expectInPlaceOf(1);
             }
             start({three[0]}), select(0), key(Qt::Key_Backspace);
             key(Qt::Key_A, Qt::ControlModifier), type("Sx"), expect({"Sx"});
         }},
        {"a paragraph of four megabytes is shown in part, no key changes it, and its "
         "neighbours are edited as ever, in all and in a search",
         [&] { fourMegabytesShownInPart(); }},
        {"300,000 letters without a space pasted", [&] { pasteLettersPastTheLimit(); }},
        {"a paragraph of 199,999 units typed past 200,000", [&] { typePastTheLimit(); }},
        {"200,000 letters pasted after an emoji and a key typed", [&] { pasteAfterAnEmoji(); }},
        {"150,000 letters without a space pasted", [&] { pasteLettersShownWhole(); }},
        {"a letter and 50,000 combining marks pasted", [&] { pasteMarksShownWhole(); }},
        {"keys where a part of a long paragraph ends", [&] { keysWhereAPartEnds(); }},
        {"the font at its largest, at a quarter and at its smallest beside 30 long paragraphs",
         [&] { fontChangeBesideLongParagraphs(); }},
        {"an utterance landing beside an emptied paragraph keeps its segment when it is typed into",
         [&] {
             start(three), select(2), key(Qt::Key_Backspace);
             const auto joined = land("More words.", original[2].end + 100ms);
             EXPECT_EQ(onScreen(), (std::vector<std::string>{three[0], three[1], "More words."}));
             type("Typed"), type(" on");
             expectParagraphs({three[0], three[1], "Typed on More words."});
             const auto now = stored.peek();
             ASSERT_EQ(now.size(), 4u);
             EXPECT_EQ(described({now[3]}), described({joined}));
             EXPECT_EQ(now[2].id, original[2].id);
             EXPECT_EQ(now[2].text, "Typed on");
             EXPECT_EQ(now[2].original, three[2]);
         }},
        {"its own text cut whole beside speech that joined it, then pasted back: the paragraph "
         "reads as it did, by its id and times, the space between them kept",
         [&] {
             start(three), select(2), type("Own");
             land("More words.", original[2].end + 100ms);
             const auto before = paragraphs(model->store());
             placeCursor(at(2, 0), at(2, 3)), key(Qt::Key_X, Qt::ControlModifier);
             expectParagraphs({three[0], three[1], " More words."});
             key(Qt::Key_V, Qt::ControlModifier);
             EXPECT_TRUE(paragraphs(model->store()) == before) << onScreen().back();
         }},
        {"the stretch before a session emptied keeps its sidebar entry, chosen, while held",
         [&] {
             startAcrossASession();
             const std::string day = dayOf(original[0].start);
             choose(day), select(0), key(Qt::Key_Backspace);
             EXPECT_EQ(window->editor().scope, day);
             EXPECT_TRUE(timelineShown());
             EXPECT_EQ(onScreen(), std::vector<std::string>{});
             const QListWidgetItem* entry = sidebarEntry(day);
             EXPECT_TRUE(entry && entry->isSelected());
             type("Z"), expectStored({"Z", "After the start."});
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
    }
}

// The caret and the selection are the user's wherever the view goes: a key
// whose paragraph is scrolled out of what is held brings it back and lands
// there, never in another paragraph, and one whose paragraph a search hides
// changes nothing and says why.
TEST_F(EditingTest, KeysLandInTheCaretsParagraphWhereverTheViewIs) {
    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"the wheel turned far up from the caret, then Backspace three times and a paste: "
         "they land where the caret is",
         [&] { keysAfterTheWheelUp(); }},
        {"the wheel turned far down from the caret, then a key and Delete",
         [&] { keysAfterTheWheelDown(); }},
        {"the wheel turned far up from the caret, then Shift+Left and a letter over it",
         [&] { caretKeyAfterTheWheelUp(Qt::Key_Left, Qt::ShiftModifier); }},
        {"the same with Ctrl+Shift+Left",
         [&] { caretKeyAfterTheWheelUp(Qt::Key_Left, Qt::ShiftModifier | Qt::ControlModifier); }},
        {"the same with Left", [&] { caretKeyAfterTheWheelUp(Qt::Key_Left, {}); }},
        {"the same with Shift+Up", [&] { caretKeyAfterTheWheelUp(Qt::Key_Up, Qt::ShiftModifier); }},
        {"a click on the scrubber's start, then a key", [&] { keyAfterTheScrubber(); }},
        {"the caret a few paragraphs before the newest, another sidebar entry, then All again "
         "and a key",
         [&] { keyAfterAnotherEntryAndAllAgain(false); }},
        {"the caret at the oldest's start, the session's entry, then All again and a key",
         [&] { keyAfterAnotherEntryAndAllAgain(true); }},
        {"a double-clicked word scrolled away, then a copy and typing over it",
         [&] { wordScrolledAwayCopiedAndTypedOver(); }},
        {"the wheel turned far up from the caret, then Ctrl+Shift+Home and a copy",
         [&] { selectedFromACaretScrolledAway(); }},
        {"the wheel turned far up from the caret, then Shift+click and a copy",
         [&] { shiftClickFromACaretScrolledAway(); }},
        {"the newest paragraph emptied, its text gone and a page come in over it, then typing",
         [&] { emptiedAndPagedAway(); }},
        {"the caret's paragraph hidden by a search: a key goes nowhere, says why, and after the "
         "search is cleared the window holds a page and the key lands at the caret",
         [&] { caretHiddenByASearch(); }},
        {"a window just opened, never clicked: Tab, then a key",
         [&] { keyInAViewNeverClicked(false); }},
        {"All chosen first from the session the window opened on, never clicked: Tab, then a key",
         [&] { keyInAViewNeverClicked(true); }},
        {"letters without a space pasted at the start, then to the top and Ctrl+Home, while "
         "the scroll bar comes and goes: what is held stays in step",
         [&] { lettersPastedThenTopAndHome(); }},
        {"another program deletes the paragraph before the caret's and rewrites the one after: "
         "the window shows the file at the next retry, and a key lands at the caret",
         [&] { neighboursChangedElsewhere(); }},
        {"another program deletes the caret's paragraph: shown gone, and a key lands as after "
         "the user deleted it",
         [&] { caretsParagraphDeletedElsewhere(); }},
        {"another program deletes every segment: the window empties, and speech comes in",
         [&] { everythingDeletedElsewhere(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
    }
}

// An emptied paragraph is an empty line: the selection keys act from it as
// from any line's ends, a key that would join it to another is refused and
// leaves it there, and what is typed or pasted into it is the user's text,
// whatever its characters.
TEST_F(EditingTest, EmptiedParagraphsAreEmptyLines) {
    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"an emptied paragraph: selection keys across its line's ends refuse a key, say why, and "
         "it stays to be typed into",
         [&] {
             const auto shift = Qt::ShiftModifier;
             const std::function<void()> selecting[] = {
                 [&] { key(Qt::Key_Left, shift), key(Qt::Key_Right, shift); },  // back to a caret
                 [&] { key(Qt::Key_Left, shift), type("r"), key(Qt::Key_Right, shift); },
                 [&] { key(Qt::Key_Right, shift), type("r"), key(Qt::Key_Left, shift); },
                 [&] { key(Qt::Key_Up, shift), type("r"), key(Qt::Key_Right); },
                 [&] { key(Qt::Key_Down, shift), type("r"), key(Qt::Key_Left); },
                 [&] {
                     key(Qt::Key_A, Qt::ControlModifier), type("r");
                     click(at(1, 0));
                 },
             };
             for (const auto& selectOn : selecting) {
                 start(three), select(1), key(Qt::Key_Backspace), selectOn();
                 EXPECT_EQ(shown(*view()), (std::vector<std::string>{three[0], "", three[2]}));
                 expectStored({three[0], three[2]});
                 type("s"), expect({three[0], "s", three[2]});
                 expectInPlaceOf(1);
             }
             start(three), select(1), key(Qt::Key_Backspace), key(Qt::Key_Up, Qt::ShiftModifier);
             type("r"), expectNotice({"cannot"});
         }},
        {"U+200B typed or pasted into an emptied paragraph is the user's text",
         [&] {
             start(three), select(1), key(Qt::Key_Backspace), type("\u200B");
             expect({three[0], "\u200B", three[2]});
             start(three), select(1), key(Qt::Key_Backspace), paste("\u200Bx");
             expect({three[0], "\u200Bx", three[2]});
             start({three[0]}), select(0), key(Qt::Key_Backspace);
             key(Qt::Key_A, Qt::ControlModifier), paste("\u200By"), expect({"\u200By"});
         }},
        {"Return in an emptied paragraph puts its break in, and what is typed there, the first "
         "paragraph's included, looks as any paragraph's text",
         [&] {
             const auto look = [&](int p, int offset) {  // of the character there
                 QTextCursor c(edit()->document());
                 c.setPosition(at(p, offset) + 1);
                 return c.charFormat();
             };
             for (const int p : {0, 1, 2}) {
                 SCOPED_TRACE(p);
                 const int other = p == 1 ? 0 : 1;
                 start(three), caret(p, -1), key(Qt::Key_Home, Qt::ShiftModifier);
                 key(Qt::Key_Backspace), type("Hi");
                 EXPECT_TRUE(look(p, 0) == look(other, 0));
                 select(p), key(Qt::Key_Backspace), key(Qt::Key_Return);  // its empty line too
                 const QTextBlock line = edit()->document()->findBlock(at(p, -1));
                 EXPECT_TRUE(line.text().isEmpty() && line.charFormat() == look(other, 0));
                 type("kk");
                 EXPECT_TRUE(look(p, 1) == look(other, 0));
                 auto want = three;
                 want[size_t(p)] = "\nkk", expect(want), expectInPlaceOf(size_t(p));
             }
             start(three), select(1), key(Qt::Key_Backspace), key(Qt::Key_Return);
             key(Qt::Key_Enter, Qt::KeypadModifier), type("kk");
             expect({three[0], "\n\nkk", three[2]});
         }},
        {"Return inside a paragraph or at its start, and its first line then deleted: each line "
         "has the space above that a window opened anew gives it",
         [&] {
             const auto spaceAbove = [&] {
                 std::vector<double> out;
                 for (QTextBlock b = edit()->document()->begin(); b.isValid(); b = b.next())
                     out.push_back(b.blockFormat().topMargin());
                 return out;
             };
             const struct {
                 std::function<void()> keys;
                 std::string second;  // the second paragraph after them
             } cases[] = {
                 {[&] { caret(1, 4), key(Qt::Key_Return); }, "They\n got in everything."},
                 {[&] { caret(1, 0), key(Qt::Key_Return); }, "\nThey got in everything."},
                 {[&] { caret(1, 0), key(Qt::Key_Return), type("kk"); },
                  "\nkkThey got in everything."},
                 {[&] { caret(1, 4), paste("A\r\nC\rD\u2029E"); },
                  "TheyA\nC\nD\nE got in everything."},
                 {[&] {
                      caret(1, 4), key(Qt::Key_Return);
                      placeCursor(at(1, 0), at(1, 4)), key(Qt::Key_Backspace);
                      key(Qt::Key_Delete);
                  },
                  " got in everything."},
             };
             for (const auto& c : cases) {
                 SCOPED_TRACE(c.second);
                 start(three), c.keys(), expect({three[0], c.second, three[2]});
                 const auto edited = spaceAbove();
                 open();
                 EXPECT_EQ(edited, spaceAbove());
                 EXPECT_GT(*std::max_element(edited.begin(), edited.end()), 0.0);
             }
         }},
        {"in search results, Ctrl+A then a key beside an emptied paragraph changes nothing",
         [&] {
             const std::vector<std::string> hits = {"Apple one two.", "Banana three.",
                                                    "Apple five six."};
             start(hits), search("apple"), select(0), key(Qt::Key_Backspace);
             key(Qt::Key_A, Qt::ControlModifier), type("m");
             expectStored({hits[1], hits[2]});
             EXPECT_EQ(shown(*view()), (std::vector<std::string>{"", hits[2]}));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
    }
}

// Redo works by every key wherever the focus is, a step never spans two
// views, and what the status bar says of a step follows what the view shows.
TEST_F(EditingTest, UndoStepsKeepToOneViewAndAreSaidWhereverTheFocusIs) {
    const auto& stored = model->store().segments;
    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"redo by Ctrl+Shift+Z and Ctrl+Y with the focus in the sidebar, the search field and "
         "the empty window",
         [&] {
             const std::pair<Qt::Key, Qt::KeyboardModifiers> redoKeys[] = {
                 {Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier},
                 {Qt::Key_Y, Qt::ControlModifier}};
             for (const auto& [k, mods] : redoKeys) {
                 start({three[0]}), caret(0, 9), type(" X"), undo();
                 window->sidebar()->list()->setFocus();
                 keyWhereFocusIs(k, mods), expect({"Knowledge X is power."});
                 undoWhereFocusIs(), window->searchField()->setFocus();
                 keyWhereFocusIs(k, mods), expect({"Knowledge X is power."});
                 select(0), key(Qt::Key_Backspace);
                 window->newSession(), settle(), choose(verbolin::EditorModel::kAllScope);
                 ASSERT_FALSE(timelineShown());
                 undoWhereFocusIs(), expect({"Knowledge X is power."});
                 keyWhereFocusIs(k, mods), expectStored({});
             }
         }},
        {"typing in All, then in a day's view, is taken back one view at a time",
         [&] {
             start(three), caret(1, -1), type(" A2");
             choose(dayOf(original[1].start)), caret(1, -1), type(" D3");
             undoWhereFocusIs(), expect({three[0], three[1] + " A2", three[2]});
             undoWhereFocusIs(), expect(three);
         }},
        {"an undo out of sight is said, whole, while the status bar shows a failure",
         [&] {
             const auto state = model->engine().modelState.get();
             start(three), caret(1, -1), type(" Y"), caret(0, 0), search("knowledge");
             model->engine().modelState.set(ModelState::failed(
                 "The speech model could not be downloaded: 127.0.0.1 refused the connection. "
                 "Check your connection and press Retry."));
             settle();
             undo(), expectStored(three);
             expectNotice({"not shown", timeOf(1)});
             EXPECT_EQ(window->statusBar()->trailing()->text().toStdString(),
                       window->statusBar()->notice());
             model->engine().modelState.set(state);
         }},
        {"a paragraph across a session's start edited in the session's view, undone in All",
         [&] {
             startAcrossASession(), caret(0, -1), type(" Y");
             choose(verbolin::EditorModel::kAllScope), undoWhereFocusIs();
             EXPECT_EQ(described(stored.peek()), described(original));
             EXPECT_EQ(window->statusBar()->notice(), "");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
    }
}

// The random runs' seeds, over paragraphs deeper than the screen or not.
std::vector<std::pair<unsigned, bool>> randomRunRows() {
    return {{7, false},
            {21, false},
            {1234, false},
            {1, false},
            {99, false},
            {31337, false},
            {7, true},
            // A stretch little deeper than the screen, paged in one way then the other.
            {5, true},
            // A drag whose end's paragraph the page it brings in lets go of.
            {155, true},
            // An undo in another view takes the last step back, then an undo and a redo here.
            {78, true},
            // Typing at the end of a paragraph of exactly the length shown whole.
            {64, true},
            // A cut of a paragraph's own text whole, beside speech that joined it, then a paste.
            {567, false},
            // A cursor set where the document's waits for a selection kept away.
            {412, true},
            // Under an X server: a middle-click while the caret is hidden by a search.
            {12, false},
            // Under an X server: a deletion joins one word to the next's letters.
            {11, true},
            // Under an X server: a drag to select pressed inside the last selection.
            {3, false},
            {8, true},
            // A key at a caret whose blank paragraph another view let go of.
            {360, false},
            {851, true},
            // Text typed after Ctrl+Home or Ctrl+End in two steps, with the
            // same number drawn for it.
            {714, true},
            {818, true}};
}

// The random runs' seeds: `rows`, or those a developer names by hand in
// VERBOLIN_RANDOM_SEEDS to sweep many, such as "1-200,d1-200,77": a seed or
// a range of seeds, "d" in front for runs over the deep paragraphs.
std::vector<std::pair<unsigned, bool>> randomRunsBy(const char* named,
                                                    std::vector<std::pair<unsigned, bool>> rows) {
    if (!named || !*named) return rows;
    std::vector<std::pair<unsigned, bool>> out;
    std::istringstream items(named);
    for (std::string item; std::getline(items, item, ',');) {
        const bool deep = !item.empty() && item.front() == 'd';
        const std::string range = item.substr(deep ? 1 : 0);
        const auto dash = range.find('-');
        const unsigned from = unsigned(std::stoul(range.substr(0, dash)));
        const unsigned to =
            dash == std::string::npos ? from : unsigned(std::stoul(range.substr(dash + 1)));
        for (unsigned seed = from; seed <= to; ++seed) out.emplace_back(seed, deep);
    }
    return out;
}

// Random runs of editing through the window's keys and mouse, with
// paragraphs cleared and typed into again (the whole transcript at times),
// searches, other sidebar entries and utterances landing: after every step
// the window shows what the transcript holds, and no paragraph holds text of
// another; undoing all of it gives back the transcript as it started,
// segment for segment, beside the utterances that landed meanwhile. Over
// short paragraphs that fit on the screen, and over more paragraphs than
// are held, each deeper than the screen, which the wheel and the pages let
// go of under the caret and the selection.
TEST_F(EditingTest, RandomEditingKeepsWindowAndTranscriptInStepAndUndoesToTheStart) {
    const auto ctrl = Qt::ControlModifier;
    const int kLongLimit = verbolin::LongParagraph::kLimit;
    for (const auto& [seed, deep] :
         randomRunsBy(std::getenv("VERBOLIN_RANDOM_SEEDS"), randomRunRows())) {
        SCOPED_TRACE(std::to_string(seed) + (deep ? " over deep paragraphs" : ""));
        const auto texts = randomRunTexts(deep);
        start(texts);
        // Three held at most, so that scrolling to either end brings pages in and lets go.
        holdAtMost(3), placeWhereShown();
        markWordsOf(texts);
        std::mt19937 rng(seed);
        const auto pick = [&](int n) { return int(rng() % unsigned(n)); };
        const auto selectBack = [&] { key(Qt::Key_Left, Qt::ShiftModifier, pick(6) + 1); };
        const char* pastes[] = {"pasted ", "one\ntwo", "a\n\nb ", "x\u200By ",
                                "e\u0301 \U0001F600 "};
        int step = 0;
        const auto wayOut = endingModalLoops(seed, deep, step);
        // No edit of one mark makes another: a deletion leaves fewer digits.
        const auto mark = [&](char end) {
            return "zq" + std::to_string(1000 + step).substr(1) + end;
        };
        const auto typed = [&] { return std::string(pick(2) ? " " : "") + mark('j'); };
        const std::function<void()> edits[] = {
            [&] { typeMarked(typed()); },
            [&] { keyThatDeletes(Qt::Key_Backspace); },
            [&] { keyThatDeletes(Qt::Key_Delete); },
            // With a caret only: with a selection the key deletes paragraphs,
            // one kept out of what is held too.
            [&] {
                if (!edit()->textCursor().hasSelection() && view()->plainSelectedText().isEmpty())
                    key(Qt::Key_Backspace, ctrl);
            },
            [&] { selectBack(), type("Q"); },
            [&] { selectBack(), key(Qt::Key_X, ctrl); },
            [&] { paste(pastes[pick(int(std::size(pastes)))]); },
            // Letters without a space, now and then enough to take a
            // paragraph past the length shown whole.
            [&] {
                const auto units = pick(6) ? size_t(300 + pick(3000)) : size_t(kLongLimit);
                paste(unbrokenLetters(units).c_str());
            },
            [&] { type("\u200B"); },
            [&] { undo(); },
            [&] { key(Qt::Key_Z, ctrl | Qt::ShiftModifier); },
            [&] {
                const auto& all = view()->ranges();
                if (all.empty()) return;
                const auto r = all[size_t(pick(int(all.size())))];
                click(r.location + pick(r.length + 1));
            },
            [&] { tripleClickAndType(pick, typed()); },
            [&] { selectionKeyFromAnEmptiedParagraph(pick, mark('s')); },
            [&] { returnInAnEmptiedParagraph(pick, typed()); },
            [&] { insertAroundTheKeys(pick, mark('m')); },
            [&] { middleClickPaste(pick, mark('p')); },
        };
        const std::function<void()> others[] = {
            // A paragraph cleared, or its text replaced by a space, then typed into.
            [&] {
                const auto& all = view()->ranges();
                if (all.empty()) return;
                const auto r = all[size_t(pick(int(all.size())))];
                placeCursor(r.location, r.end());
                pick(2) ? key(Qt::Key_Backspace) : type(" ");
                if (timelineShown()) typeMarked(typed(), r.id);
            },
            [&] {
                if (pick(3)) return;
                const auto last = emptyEveryParagraph();
                if (timelineShown()) typeMarked(typed(), last);
            },
            // A search for the start of a word shown, with an edit of what it shows or not.
            [&] {
                const auto& all = view()->ranges();
                QString word = "zq";
                if (!all.empty()) {
                    const auto r = all[size_t(pick(int(all.size())))];
                    const auto words = verbolin::paragraphText(view()->text(), r).split(' ');
                    const QString w = words[pick(int(words.size()))];
                    if (w.size() >= 3 && w.front().isLetter()) word = w.left(3);
                }
                search(word.toUtf8().constData());
                SCOPED_TRACE("searching " + word.toStdString());
                checkInStep();
                if (pick(2)) edits[pick(int(std::size(edits)))](), checkInStep();
                search("");
            },
            [&] { elsewhereAndBack(pick(2)); },
            [&] { landMarked(mark('u')); },
            [&] { wheelThenKey(pick(2) ? 40 : -40, mark('w')); },
            [&] { copyASelection(pick); },
            // Steps the runs over the nine take too.
            [&] { undoThenRedo(); },
            [&] { toAnEnd(pick, mark('h')); },
            [&] { wheelThenDelete(pick(2) ? 40 : -40); },
        };
        const size_t otherSteps = std::size(others) - (deep ? 0 : 3);
        for (; step < 150; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            if (!timelineShown())  // the empty window
                pick(2) ? undoWhereFocusIs() : landMarked(mark('u'));
            else if (const int n =
                         traced(seed, deep, step, pick(int(std::size(edits) + otherSteps)),
                                int(std::size(edits)));
                     n < int(std::size(edits)))
                placeWhereShown(), edits[n]();
            else
                others[n - std::size(edits)]();
            settle();
            if (HasFatalFailure()) return;  // a step stopped part way: what follows says nothing
            ASSERT_NO_FATAL_FAILURE(checkInStep());
            if (step % 10 == 0 && timelineShown()) {
                topAndBack(step % 20 == 0);
                ASSERT_NO_FATAL_FAILURE(checkInStep());
            }
        }
        undoAllToTheStart();
    }
}

// The toolbar shows the settings the tray menu changes too, at once, with
// no need to activate the window again.
TEST_F(ShellTest, ToolbarFollowsSettingsWhoeverChangesThem) {
    fill(model->store(), {"alpha one"});
    auto& window = openEditor();
    // The model loads on a thread of its own and listening starts once it
    // is ready, which changes the listen button's icon: on a busy machine
    // that comes after the window has shown, so the icons compared below
    // are taken once it has.
    ASSERT_TRUE(world.runUntil([&] { return model->engine().isRecording.peek(); }));
    settle();
    verbolin::TrayMenu tray(*model, {});
    const auto trayAction = [&](const QString& title) {
        for (QAction* a : tray.menu()->actions())
            if (a->text() == title) return a;
        return static_cast<QAction*>(nullptr);
    };
    // Whether refreshing as each new segment does kept the toolkit's pixmap
    // cache, made small, from painting anything new into it: a pixmap that
    // only something new could push out is still there.
    bool cacheKept = false;
    const auto refreshedBySegments = [&] {
        const int limit = QPixmapCache::cacheLimit();
        QPixmapCache::clear();
        QPixmapCache::setCacheLimit(128);
        window.listenButton()->grab();
        window.pinButton()->grab();
        QPixmap mark(64, 64);
        mark.fill(Qt::red);
        const QString untouched = QStringLiteral("verbolin-test-untouched");
        QPixmapCache::insert(untouched, mark);
        for (int i = 0; i < 200; ++i) {
            window.refresh();
            window.listenButton()->grab();
            window.pinButton()->grab();
        }
        cacheKept = QPixmapCache::find(untouched, &mark);
        QPixmapCache::setCacheLimit(limit);
    };
    struct Case {
        const char* name;
        std::function<void()> change;
        bool onTop;
        double fontSize;
        bool paintsNothingNew;  // its icons were all painted before
    } cases[] = {
        {"tray turns it on", [&] { trayAction("Always on Top")->trigger(); }, true, 26, false},
        {"tray turns it off", [&] { trayAction("Always on Top")->trigger(); }, false, 26, false},
        {"settings written", [&] { model->defaults().setBool("alwaysOnTop", true); }, true, 26,
         false},
        {"size written", [&] { model->defaults().setNumber("fontSize", 40); }, true, 40, false},
        {"key removed", [&] { model->defaults().remove("alwaysOnTop"); }, false, 40, false},
        {"200 segments", refreshedBySegments, false, 40, true},
    };
    // Each icon is made once for its state: the same one comes back with the
    // state, and refreshing with none changed paints and caches nothing new.
    window.grab();
    std::map<bool, qint64> pinIcons{{false, window.pinButton()->icon().cacheKey()}};
    const qint64 listenIcon = window.listenButton()->icon().cacheKey();
    for (const Case& c : cases) {
        tray.rebuild();  // as on every opening
        c.change();
        settle();
        window.grab();
        EXPECT_EQ(window.pinButton()->isChecked(), c.onTop) << c.name;
        EXPECT_EQ(window.fontSlider()->value(),
                  int(c.fontSize * verbolin::EditorWindow::kSliderScale))
            << c.name;
        EXPECT_EQ(window.pane()->textView().inputs().fontSize, c.fontSize) << c.name;
        const qint64 pinIcon = window.pinButton()->icon().cacheKey();
        EXPECT_EQ(pinIcons.emplace(c.onTop, pinIcon).first->second, pinIcon) << c.name;
        EXPECT_EQ(window.listenButton()->icon().cacheKey(), listenIcon) << c.name;
        EXPECT_TRUE(cacheKept || !c.paintsNothingNew) << c.name;
    }
    EXPECT_NE(pinIcons[true], pinIcons[false]);
}

// The longest failures, worded by their own code, take one line at the
// default size and at the smallest: their middle gives way, their start and
// end stay, "Retry" is beside them, and the tooltip keeps it all.
TEST_F(ShellTest, StatusBarShowsAFailureOnOneLineWithRetryAtEverySize) {
    fill(model->store(), {"alpha one"});
    auto& window = openEditor();
    const auto described = [](std::exception_ptr error, const std::string& endpoint) {
        const auto e = verbolin::ModelDownloader::describeFailure(
            error, endpoint, "/home/someone/.local/share/Verbolin/models", 290'400'001);
        return e ? std::string(e->what()) : std::string("not described");
    };
    const std::string hub = "https://huggingface.co";
    const std::string mirror = "https://models-mirror.research-cluster.internal.example.org/hub";
    using platform::HttpError;
    using platform::UrlErrorCode;
    const struct {
        std::string failure;              // the engine's message
        const char* nextStep;             // what the tooltip must hold
        bool wholeAtDefaultSize = false;  // beside "Retry", whatever hint wants the room
        // At the default size: the bar's start and end, and what only the tooltip has.
        std::string leads = "", ends = "", inTooltipOnly = "";
    } rows[] = {
        {described(
             std::make_exception_ptr(vortil::EnvironmentError::offlineModeError("no cached copy")),
             hub),
         "verbolin-models convert"},
        {described(std::make_exception_ptr(HttpError(UrlErrorCode::cannotFindHost, "resolve")),
                   mirror),
         "verbolin-models convert"},
        {std::string(verbolin::AudioServerHelp::kNoServer) + ": Connection refused",
         "pulseaudio --start"},
        // The archive download's refusal: its cause (HTTP 404) must show.
        {"The speech model could not be downloaded (HTTP 404). Check your connection and try "
         "again.",
         "try again", true},
        // A damaged pack not installed again: the cause and the next step show, not the folder.
        {verbolin::TranscriptionEngine::damagedPackFailure(
             verbolin::ModelPack::named("standard"), "MelSpectrogram.mlmodelc is missing",
             described(std::make_exception_ptr(HttpError(UrlErrorCode::cannotConnectToHost, "")),
                       hub)),
         "verbolin-models convert", false, "The speech model pack is damaged (",
         "verbolin-models convert (see the README).",
         verbolin::ModelPack::named("standard").localFolder().string()},
    };
    auto* bar = window.statusBar();
    const int line = bar->fontMetrics().lineSpacing() + 2;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failure);
        const QString whole =
            QString::fromStdString(verbolin::StatusBarModel::failureText(row.failure));
        ASSERT_TRUE(whole.contains(row.nextStep));
        for (const QSize size :
             {QSize(verbolin::EditorWindow::kDefaultWidth, verbolin::EditorWindow::kDefaultHeight),
              QSize(verbolin::EditorWindow::kMinimumWidth,
                    verbolin::EditorWindow::kMinimumHeight)}) {
            SCOPED_TRACE(size.width());
            window.resize(size);
            model->engine().modelState.set(ModelState::loading("x"));
            settle();
            const QSize before = window.size();
            const int barHeight = bar->height();
            model->engine().modelState.set(ModelState::failed(row.failure));
            settle();
            EXPECT_EQ(window.size(), before);  // the bar's lines do not push the window out
            EXPECT_LE(bar->height(), std::max(barHeight, 2 * line + 16));  // one row
            const QString shown = bar->message()->text();
            const auto* label = bar->message();
            EXPECT_TRUE(label->isVisible());
            EXPECT_LT(label->height(), 2 * label->fontMetrics().lineSpacing());
            EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->width());
            EXPECT_TRUE(
                window.rect().contains(QRect(label->mapTo(&window, QPoint(0, 0)), label->size())));
            EXPECT_EQ(bar->message()->toolTip(), whole);
            if (!row.leads.empty() && size.width() == verbolin::EditorWindow::kDefaultWidth) {
                const QString folder = QString::fromStdString(row.inTooltipOnly);
                EXPECT_TRUE(shown.startsWith(QString::fromStdString(row.leads)) &&
                            shown.endsWith(QString::fromStdString(row.ends)) &&
                            !shown.contains(folder) && whole.contains(folder))
                    << shown.toStdString();
            }
            if (row.wholeAtDefaultSize && size.width() == verbolin::EditorWindow::kDefaultWidth) {
                EXPECT_EQ(shown.toStdString(), whole.simplified().toStdString());
            } else {
                // Too long for one line: shortened in the middle, never at an end.
                const qsizetype cut = shown.indexOf(QChar(0x2026));
                EXPECT_TRUE(cut > 0 && cut + 1 < shown.size() &&
                            whole.simplified().startsWith(shown.left(cut)) &&
                            whole.simplified().endsWith(shown.mid(cut + 1)))
                    << shown.toStdString();
            }
            const QRect retry(bar->retryButton()->mapTo(bar, QPoint(0, 0)),
                              bar->retryButton()->size());
            EXPECT_TRUE(bar->retryButton()->isVisible());
            EXPECT_TRUE(bar->rect().contains(retry));
            EXPECT_FALSE(retry.intersects(QRect(label->mapTo(bar, QPoint(0, 0)), label->size())));
            EXPECT_FALSE(retry.intersects(
                QRect(bar->trailing()->mapTo(bar, QPoint(0, 0)), bar->trailing()->size())));
            // The transcript keeps room of its own.
            EXPECT_GT(window.pane()->height(), 2 * bar->fontMetrics().lineSpacing());
        }
    }

    // Once ready, the state and the hint share one line; narrower, the hint
    // is cut at its end, whole in its tooltip.
    for (int width :
         {verbolin::EditorWindow::kDefaultWidth, verbolin::EditorWindow::kMinimumWidth}) {
        window.resize(width, verbolin::EditorWindow::kDefaultHeight);
        model->engine().modelState.set(ModelState::ready());
        settle();
        EXPECT_FALSE(bar->message()->text().contains('\n'));
        const QString hint = bar->trailing()->text();
        EXPECT_LE(bar->trailing()->height(), line) << width;
        EXPECT_FALSE(hint.contains('\n'));
        EXPECT_LE(bar->trailing()->fontMetrics().horizontalAdvance(hint), bar->trailing()->width());
        EXPECT_LE(bar->height(), 2 * line + 16) << width;  // one row, not a stack
        if (width == verbolin::EditorWindow::kDefaultWidth)
            EXPECT_TRUE(hint.startsWith("Click to edit") && hint.endsWith("new session"))
                << hint.toStdString();
        else
            EXPECT_EQ(bar->trailing()->toolTip().isEmpty(), !hint.endsWith(QChar(0x2026)));
    }
}

TEST_F(ShellTest, TrayWithoutAHostKeepsItsMenuAndFollowsTheEngine) {
    ASSERT_FALSE(verbolin::TrayItem::hostAvailable());  // offscreen has no tray
    verbolin::TrayItem tray(*model, {});
    EXPECT_FALSE(tray.available());
    EXPECT_FALSE(tray.icon().isVisible());
    EXPECT_EQ(tray.icon().toolTip(),
              QString::fromUtf8("Verbolin \u2014 Ctrl+Alt+Space shows the window from anywhere"));
    EXPECT_EQ(tray.menu().menu()->actions().size(), 14);

    struct Case {
        ModelState state;
        bool recording;
        const char* symbol;
    } cases[] = {{ModelState::loading("x"), false, "ellipsis.circle"},
                 {ModelState::failed("x"), false, "exclamationmark.triangle"},
                 {ModelState::idle(), false, "mic"},
                 {ModelState::ready(), true, "waveform"},
                 {ModelState::ready(), false, "mic.slash"}};
    for (const auto& c : cases) {
        model->engine().modelState.set(c.state);
        model->engine().isRecording.set(c.recording);
        QCoreApplication::processEvents();  // the icon follows on the next turn
        EXPECT_EQ(tray.symbol(), c.symbol);
        EXPECT_FALSE(tray.icon().icon().isNull()) << c.symbol;
    }
}

TEST(SymbolIcon, EverySymbolDrawsSomethingWithoutATheme) {
    for (const char* symbol :
         {"mic", "mic.slash", "waveform", "ellipsis.circle", "exclamationmark.triangle",
          "pause.circle.fill", "mic.circle.fill", "pin", "pin.fill", "textformat.size.smaller",
          "textformat.size.larger", "no.such.symbol"}) {
        const QImage image = verbolin::SymbolIcon::drawn(symbol).pixmap(32, 32).toImage();
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 0;
        EXPECT_GT(opaque, 20) << symbol;
        EXPECT_FALSE(verbolin::SymbolIcon::icon(symbol).isNull()) << symbol;
    }
}

TEST(QuitPath, WithdrawsAtOnceStopsOnceAndEndsAfterTheLastTexts) {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    std::vector<std::string> steps;
    verbolin::QuitPath quit(main, {[&] { steps.push_back("withdraw"); },
                                   [&] {
                                       steps.push_back("stop");
                                       // The last utterance's text, posted while stopping.
                                       main.post([&] { steps.push_back("final stored"); });
                                   },
                                   [&] { steps.push_back("finish"); },
                                   {}});
    quit.request();
    EXPECT_EQ(steps, std::vector<std::string>{"withdraw"});  // nothing waits in the request
    quit.request();                                          // a second source while quitting
    main.runPending();
    EXPECT_EQ(steps.size(), 1u);  // the windows get their moment to go first
    main.advance(verbolin::QuitPath::kWithdrawDelay);
    while (main.runPending() > 0) {
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"withdraw", "stop", "final stored", "finish"}));
    quit.stopEngineIfNeeded();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "stop"), 1);
}

TEST(QuitPath, ALoopEndedElsewhereStillStopsTheEngine) {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    int stops = 0;
    verbolin::QuitPath quit(main, {{}, [&] { ++stops; }, {}, {}});
    quit.stopEngineIfNeeded();
    quit.stopEngineIfNeeded();
    EXPECT_EQ(stops, 1);
}

// An application model on the real event loop, listening, whose one
// utterance is being decoded as its final: the decode is held until the
// test releases or cancels it.
struct HeldLastDecode {
    TestEnvironment env;
    EngineWorld world;
    verbolin::QtMainExecutor main;
    std::unique_ptr<verbolin::AppModel> model;
    std::shared_ptr<FakeSpeechEngine> recogniser;

    // The model would wait for a decoding thread still held as it goes.
    ~HeldLastDecode() { world.decodeThread.open(); }

    verbolin::TranscriptionEngine& engine() { return model->engine(); }

    static bool pumpUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }

    void start(FakeSpeechEngine::Reply lastDecode = FakeSpeechEngine::Reply::held("last words"),
               bool holdThread = false) {
        installStandardPack(env.dataPath());
        verbolin::AppModel::Services s;
        s.main = &main;
        s.defaults = &world.defaults;
        s.storeDirectory = env.home.path() / "store";
        s.engine = world.services();
        s.engine.main = &main;
        model = std::make_unique<verbolin::AppModel>(std::move(s));
        engine().livePreview.set(false);
        ASSERT_TRUE(pumpUntil([&] {
            return engine().modelState.peek().kind == ModelState::Kind::ready &&
                   !world.made().empty();
        }));
        if (!engine().isRecording.peek()) engine().start();
        ASSERT_TRUE(pumpUntil([&] { return world.backend->runningCount() == 1; }));
        recogniser = world.made().back();
        recogniser->script(std::move(lastDecode));
        // The decoding thread is held before it takes the last decode up.
        if (holdThread) world.decodeThread.shut();
        world.speakOneUtterance(1.0);
        if (holdThread)
            ASSERT_TRUE(world.decodeThread.waitForHeld());
        else
            ASSERT_TRUE(recogniser->waitForCalls(1));
    }
};

// The quit path on the real event loop: while the last utterance decodes,
// the loop goes on (here a timer releases the held decode, which it could
// not do if quitting held the loop), and the loop ends only once the
// utterance's text is in the store.
TEST(QuitPath, TheLoopRunsOnWhileTheLastDecodeFinishesAndEndsAfterItIsStored) {
    HeldLastDecode scene;
    ASSERT_NO_FATAL_FAILURE(scene.start());
    auto& engine = scene.engine();
    auto& model = *scene.model;
    auto& world = scene.world;
    auto& recogniser = scene.recogniser;
    auto& main = scene.main;

    QEventLoop loop;
    std::vector<std::string> steps;
    bool storedAtFinish = false;
    verbolin::QuitPath quit(main, {[&] { steps.push_back("withdraw"); },
                                   [&] {
                                       steps.push_back("blocking stop");
                                       engine.stopAndWait();
                                   },
                                   [&] {
                                       steps.push_back("finish");
                                       const auto& segments = model.store().segments.peek();
                                       storedAtFinish = !segments.empty() &&
                                                        segments.back().text == "last words";
                                       loop.quit();
                                   },
                                   [&](std::function<void()> stopped) {
                                       steps.push_back("stop");
                                       engine.stopThen(std::move(stopped));
                                   }});
    // Past the withdraw delay, with the stop under way and the decode held.
    QTimer::singleShot(300, &loop, [&] {
        steps.push_back("timer");
        recogniser->release();
    });
    // Only a failure gets this far: the drain limit has long passed.
    QTimer::singleShot(30000, &loop, [&] { loop.quit(); });
    quit.request();
    loop.exec();

    EXPECT_EQ(steps, (std::vector<std::string>{"withdraw", "stop", "timer", "finish"}));
    EXPECT_TRUE(storedAtFinish);
    EXPECT_TRUE(quit.engineStopped());
    EXPECT_FALSE(engine.isRecording.peek());
    EXPECT_EQ(world.backend->runningCount(), 0);
    EXPECT_EQ(recogniser->cancelledCount(), 0);
    quit.stopEngineIfNeeded();  // the loop's end: nothing is left to stop
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "blocking stop"), 0);
}

// Asked again while quitting (a second Ctrl+C), the path cuts the stop under
// way short and ends the loop once, whenever the second request comes.
TEST(QuitPath, AskedAgainItStopsAtOnceAndEndsOnce) {
    struct Case {
        const char* name;
        bool pastWithdrawDelay;  // the non-blocking stop has begun
    };
    for (const Case c : {Case{"before the stop begins", false}, Case{"during the stop", true}}) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        std::vector<std::string> steps;
        verbolin::QuitPath quit(
            main, {[&] { steps.push_back("withdraw"); }, [&] { steps.push_back("blocking stop"); },
                   [&] { steps.push_back("finish"); },
                   [&](std::function<void()>) { steps.push_back("stop"); },
                   [&] { steps.push_back("stop now"); }});
        quit.stopNow();  // the first request only starts quitting
        EXPECT_EQ(steps, std::vector<std::string>{"withdraw"});
        if (c.pastWithdrawDelay) {
            main.advance(verbolin::QuitPath::kWithdrawDelay);
            main.runPending();
        }
        quit.stopNow();
        quit.stopNow();
        main.advance(verbolin::QuitPath::kWithdrawDelay);
        while (main.runPending() > 0) {
        }
        std::vector<std::string> expected{"withdraw"};
        if (c.pastWithdrawDelay) expected.push_back("stop");
        expected.insert(expected.end(), {"stop now", "finish"});
        EXPECT_EQ(steps, expected);
        EXPECT_TRUE(quit.engineStopped());
        quit.stopEngineIfNeeded();
        EXPECT_EQ(steps, expected);
    }
}

// The second request on the real event loop, with a decode that would hold
// the stop until its bound: the loop ends at once, the decode is given up
// and its audio is kept in the store's folder. A recogniser that does not
// see the stop (deep in a step of a slow model) does not hold the loop's end
// either, nor does a decoding thread held before it took the decode up: the
// thread is left running, and said to be.
TEST(QuitPath, AskedAgainItKeepsTheAudioOfTheDecodeItGivesUp) {
    struct Case {
        const char* name;
        bool deaf;
        bool threadHeld = false;
    };
    for (const Case c : {Case{"the decode stops", false}, Case{"the decode does not stop", true},
                         Case{"the decoding thread held", false, true}}) {
        SCOPED_TRACE(c.name);
        HeldLastDecode scene;
        ASSERT_NO_FATAL_FAILURE(scene.start(c.deaf ? FakeSpeechEngine::Reply::stuck("last words")
                                                   : FakeSpeechEngine::Reply::held("last words"),
                                            c.threadHeld));
        auto& engine = scene.engine();
        auto& model = *scene.model;
        auto& world = scene.world;
        auto& recogniser = scene.recogniser;
        auto& main = scene.main;

        QEventLoop loop;
        bool finished = false, waited = false;
        int decodingAtFinish = -1;
        verbolin::QuitPath quit(
            main, {{},
                   [&] { engine.stopAndWait(); },
                   [&] {
                       finished = true;
                       decodingAtFinish = recogniser->runningCalls();
                       loop.quit();
                   },
                   [&](std::function<void()> stopped) { engine.stopThen(std::move(stopped)); },
                   [&] { engine.stopNow(); }});
        // Asked again once the stop has begun to wait for the held decode, and
        // not at a set time, which a busy machine may reach before the wait.
        engine.onDrainWaits = [&] {
            waited = true;
            QTimer::singleShot(0, &loop, [&] {
                EXPECT_FALSE(finished);
                quit.stopNow();
            });
        };
        // Only a failure gets this far: the drain's bound has passed. Tied
        // to the loop, as the call above is: a row that passes ends long
        // before this fires, and a timer left without a context would call
        // into this row's gone stack from whatever test runs after it.
        QTimer::singleShot(int(verbolin::TranscriptionEngine::kDrainLimit.count()) + 5000, &loop,
                           [&] { loop.quit(); });
        // A quit that joins the held thread holds the loop too: only a
        // failure waits for this to let it go.
        std::atomic<bool> over{false};
        std::thread letGo([&] {
            testsupport::waitUntil(
                [&] { return over.load(); },
                verbolin::TranscriptionEngine::kDrainLimit + std::chrono::seconds(5));
            world.decodeThread.open();
        });
        const auto asked = std::chrono::steady_clock::now();
        quit.request();
        loop.exec();
        const auto took = std::chrono::steady_clock::now() - asked;
        engine.onDrainWaits = nullptr;  // it refers to this scope
        const bool leftRunning = engine.threadsLeftRunning();
        over = true;
        letGo.join();

        EXPECT_TRUE(waited);
        EXPECT_TRUE(finished);
        EXPECT_LT(took, verbolin::TranscriptionEngine::kDrainLimit);
        // A decode that hears the stop is joined as it returns, but for a
        // machine too busy to let it return within the engine's grace.
        if (c.deaf || c.threadHeld) {
            EXPECT_EQ(decodingAtFinish, c.deaf ? 1 : 0);
            EXPECT_TRUE(leftRunning);
            EXPECT_EQ(recogniser->cancelledCount(), 0);
        } else {
            EXPECT_TRUE(
                HeldLastDecode::pumpUntil([&] { return recogniser->cancelledCount() == 1; }));
        }
        EXPECT_TRUE(model.store().segments.peek().empty());
        const auto kept = model.store().directory() / "Untranscribed audio";
        ASSERT_TRUE(std::filesystem::is_directory(kept));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(kept),
                                std::filesystem::directory_iterator()),
                  1);
        EXPECT_FALSE(engine.isRecording.peek());
        EXPECT_EQ(world.backend->runningCount(), 0);
        // The decode returns now; the model joins it as it goes. Given up
        // before its thread took it up, it never reaches the recogniser.
        recogniser->release();
        if (c.threadHeld) {
            EXPECT_TRUE(HeldLastDecode::pumpUntil([&] { return !engine.threadsLeftRunning(); }));
            EXPECT_TRUE(recogniser->calls().empty());
        }
    }
}

TEST(QuitSignals, SigtermAndSigintArriveOnTheMainLoop) {
    std::vector<int> received;
    {
        verbolin::QuitSignals quitSignals([&](int s) { received.push_back(s); });
        ASSERT_TRUE(quitSignals.installed());
        ::raise(SIGTERM);
        ::raise(SIGINT);
        EXPECT_TRUE(received.empty());  // not from inside the handler
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), size_t(2), 2000);
    }
    EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);  // handed back
}

// A closed terminal quits as SIGTERM does, unless the process was started
// with hang-ups ignored (nohup).
TEST(QuitSignals, AHangUpQuitsUnlessItWasIgnored) {
    struct Case {
        const char* name;
        bool ignored;
    };
    for (const Case c : {Case{"default", false}, Case{"nohup", true}}) {
        SCOPED_TRACE(c.name);
        struct sigaction start {
        }, before{}, now{};
        start.sa_handler = c.ignored ? SIG_IGN : SIG_DFL;
        sigemptyset(&start.sa_mask);
        ::sigaction(SIGHUP, &start, &before);
        std::vector<int> received;
        {
            verbolin::QuitSignals quitSignals([&](int s) { received.push_back(s); });
            ASSERT_TRUE(quitSignals.installed());
            ::raise(SIGHUP);
            ::raise(SIGTERM);
            QTRY_COMPARE_WITH_TIMEOUT(received.empty(), false, 2000);
            QTRY_COMPARE_WITH_TIMEOUT(received.back(), SIGTERM, 2000);
        }
        EXPECT_EQ(received,
                  c.ignored ? std::vector<int>{SIGTERM} : (std::vector<int>{SIGHUP, SIGTERM}));
        ::sigaction(SIGHUP, nullptr, &now);
        EXPECT_EQ(now.sa_handler, start.sa_handler);  // handed back
        ::sigaction(SIGHUP, &before, nullptr);
    }
}

// The child's part of a row whose signal comes while the window's first
// show lays out wide text at the largest size, given before the show as at
// launch: 0 when the loop answered it while the view still brought in the
// rest it may hold, and the transcript kept the utterance stored meanwhile.
int answeredDuringAFirstShow(int signal) {
    using namespace std::chrono_literals;
    const auto folder = std::filesystem::temp_directory_path() /
                        ("verbolin-first-show-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    testsupport::Dictation wide;
    for (int i = 0; i < 200; ++i) {
        QString text;  // 1,000 ideographs, a comma after every seventeen
        for (int k = 0; k < 1000; ++k)
            text +=
                (k + 1) % 18 == 0 ? QChar(0xFF0C) : QChar(char16_t(0x4E00 + (i * 31 + k) % 0x5000));
        auto s = uitest::segment(1.7e9 + i * 60.0, 1.7e9 + i * 60.0 + 5, text.toStdString());
        wide.segments.push_back(std::move(s));
    }
    testsupport::writeTranscript(folder, wide);
    int status = 0;
    {
        verbolin::TranscriptStore store(folder);
        verbolin::QtMainExecutor main;
        verbolin::TimelineTextView view(main);
        view.resize(730, 560);
        verbolin::TimelineInputs in;
        in.blocks = store.allBlocks();
        in.fontSize = verbolin::EditorModel::kMaxFontSize;
        view.setInputs(in);
        QEventLoop loop;
        std::optional<std::pair<size_t, bool>> atQuit;  // what is held, and whether more comes
        verbolin::QuitSignals quit(
            [&](int s) {
                if (s == signal) atQuit.emplace(view.renderedKeys().size(), view.filling());
                loop.quit();
            },
            std::chrono::minutes(2));  // only a hang is the watcher's
        quit.watchFromHere();
        store.append(uitest::segment(1.8e9, 1.8e9 + 2, "Spoken as the window opened."));
        ::raise(signal);
        view.show();  // the first show, before the loop turns
        quit.runLoop([&] {
            QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
            return loop.exec();
        });
        // The rest comes in once the loop runs on.
        for (int turns = 0; view.filling() && turns < 100'000; ++turns)
            QCoreApplication::processEvents();
        if (!atQuit || !atQuit->second || atQuit->first >= view.renderedKeys().size()) status = 3;
    }
    verbolin::TranscriptDB db(folder / "transcript.sqlite",
                              verbolin::TranscriptDB::Access::readOnly);
    if (db.allSegments().size() != wide.segments.size() + 1) status = 4;
    std::filesystem::remove_all(folder);
    return status;
}

// A main thread that never turns its loop again (a layout that does not
// end) still ends on a signal, saying so, as the signal would without a
// handler; so does one held in the window's first show, before the loop.
// Only those are watched: a signal during a start longer than the bound
// (before the window is made) waits for the loop, which takes the quitting
// path (or is answered before the window is made), and one during the
// teardown after the loop is left to it. A first show lays out a screen's
// worth, so the loop answers a signal sent during it, the quitting path
// storing everything, however long the rest takes to lay out.
TEST(QuitSignalsDeathTest, AnUnansweredSignalEndsTheProcessAsWithoutAHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using namespace std::chrono_literals;
    static constexpr auto kBound = 300ms;
    enum class When { loopHeld, showHeld, duringStart, beforeWindow, wideFirstShow, afterLoop };
    struct Case {
        const char* name;
        int signal;
        When when;
    };
    const Case cases[] = {
        {"SIGTERM, loop held", SIGTERM, When::loopHeld},
        {"SIGHUP, loop held", SIGHUP, When::loopHeld},
        {"SIGTERM, first show held", SIGTERM, When::showHeld},
        {"SIGTERM during the start", SIGTERM, When::duringStart},
        {"SIGINT during the start", SIGINT, When::duringStart},
        {"SIGTERM during the start, answered before the window is made", SIGTERM,
         When::beforeWindow},
        {"SIGTERM during a first show of wide text at the largest size", SIGTERM,
         When::wideFirstShow},
        {"SIGTERM after the loop", SIGTERM, When::afterLoop},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = [&c] {
            if (c.when == When::wideFirstShow) std::_Exit(answeredDuringAFirstShow(c.signal));
            int received = 0;
            QEventLoop loop;
            verbolin::QuitSignals quit(
                [&](int s) {
                    received = s;
                    loop.quit();
                },
                kBound);
            const auto raiseThenWait = [&] {
                ::raise(c.signal);
                std::this_thread::sleep_for(kBound * 5);  // the start or teardown goes on
            };
            if (c.when == When::duringStart) raiseThenWait();
            if (c.when == When::beforeWindow) {
                ::raise(c.signal);
                quit.answerWaiting();  // no loop has turned
                std::_Exit(received == c.signal ? 0 : 3);
            }
            if (c.when == When::showHeld) {
                quit.watchFromHere();
                ::raise(c.signal);
                std::this_thread::sleep_for(std::chrono::minutes(2));  // shown, never done
            }
            quit.runLoop([&] {
                if (c.when == When::loopHeld) {
                    ::raise(c.signal);
                    std::this_thread::sleep_for(std::chrono::minutes(2));  // no loop turns
                }
                if (c.when == When::afterLoop) QTimer::singleShot(0, &loop, &QEventLoop::quit);
                QTimer::singleShot(30'000, &loop, &QEventLoop::quit);
                return loop.exec();
            });
            if (c.when == When::afterLoop) raiseThenWait();
            // The loop took the signal during the start, none after it.
            std::_Exit(received == (c.when == When::afterLoop ? 0 : c.signal) ? 0 : 3);
        };
        if (c.when == When::loopHeld || c.when == When::showHeld) {
            EXPECT_EXIT(run(), ::testing::KilledBySignal(c.signal),
                        std::string("has not answered ") +
                            (c.signal == SIGTERM ? "SIGTERM" : "SIGHUP") +
                            " for 0 seconds; ending without it");
        } else {
            EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
        }
    }
}

// The watcher's last step takes the signal that waits, and nothing when the
// loop has taken it since the watcher looked: the process goes on.
TEST(QuitSignals, TheWatcherTakesOnlyASignalStillWaiting) {
    for (const std::optional<char> waiting : {std::optional<char>(char(SIGHUP)), {}}) {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        if (waiting) {
            ASSERT_EQ(::write(fds[1], &*waiting, 1), 1);
        }
        EXPECT_EQ(verbolin::QuitSignals::takeWaiting(fds[0]),
                  waiting ? std::optional<int>(*waiting) : std::nullopt);
        for (const int fd : fds) ::close(fd);
    }
    EXPECT_EQ(verbolin::QuitSignals::takeWaiting(-1), std::nullopt);  // unreadable
}

// A live instance's socket is kept, even while the instance is too busy to
// answer, and stays the one a later launch reaches.
TEST(SingleInstance, ALiveInstancesSocketIsKeptWhileItIsBusy) {
    TestEnvironment env;
    const QString name = verbolin::SingleInstance::serverName(env.home.path() / "data");
    int firstShows = 0, nextShows = 0;
    verbolin::SingleInstance first(name, [&] { ++firstShows; });
    // Made before the first has run a turn of its loop: it cannot answer.
    verbolin::SingleInstance next(name, [&] { ++nextShows; });
    EXPECT_FALSE(next.listening());
    std::atomic<int> answered{-1};
    std::thread later([&] { answered = verbolin::SingleInstance::askRunningToShow(name); });
    QTRY_VERIFY_WITH_TIMEOUT(answered != -1, 5000);
    later.join();
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(firstShows, 1);
    EXPECT_EQ(nextShows, 0);
}

TEST(SingleInstance, ASecondLaunchReachesTheFirst) {
    TestEnvironment env;
    const QString name = verbolin::SingleInstance::serverName(env.home.path() / "data");
    EXPECT_NE(name, verbolin::SingleInstance::serverName(env.home.path() / "other"));
    EXPECT_FALSE(verbolin::SingleInstance::askRunningToShow(name));

    int shows = 0;
    verbolin::SingleInstance first(name, [&] { ++shows; });
    ASSERT_TRUE(first.listening());
    std::atomic<int> answered{-1};
    std::thread second([&] { answered = verbolin::SingleInstance::askRunningToShow(name); });
    QTRY_VERIFY_WITH_TIMEOUT(answered != -1, 5000);
    second.join();
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(shows, 1);
}

// What a user does in the window costs after a year of dictation about what
// it costs after a day: the window is opened, three letters are typed at the
// newest paragraph's end, a rare word is searched for and the search
// cleared, and the text size goes to the largest and back. Each is bounded
// by the same on a day's transcript, with room for a loaded machine.
TEST_F(EditingTest, ASearchOpensOnItsNewestMatchesAndScrollingUpReachesTheOldest) {
    const auto folder = env.home.path() / "dictation";
    testsupport::writeTranscript(
        folder, testsupport::makeDictation({.days = 20, .wordsMin = 3, .wordsMax = 6}));
    model->engine().stopAndWait();
    model = std::make_unique<verbolin::AppModel>(world.appServices(folder));
    open();
    choose(verbolin::EditorModel::kAllScope);
    auto& store = model->store();
    const auto idOf = [&](size_t at) { return (*store.allBlocks())[at].id; };
    for (const char* query : {"ma", testsupport::rareWord}) {
        const std::vector<size_t> found = store.paragraphsHolding(store.search(query));
        ASSERT_GT(found.size(), 40u) << query;
        search(query);
        // A first page of the newest, not a third of all that may be held.
        EXPECT_LE(view()->renderedKeys().size(), verbolin::TimelineTextView::kFirstPageMost);
        EXPECT_EQ(view()->renderedKeys().back().id, idOf(found.back())) << query;
        EXPECT_TRUE(view()->atBottom());
        // Every match follows once the letters stop.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                settle();
                return view()->inputs().blocks->size() == found.size();
            },
            60000))
            << query;
        EXPECT_EQ(view()->renderedKeys().back().id, idOf(found.back())) << query;
        for (int turns = 0; view()->heldFrom() > 0 && turns < 1000; ++turns) {
            view()->scrollTo(0);
            settle();
        }
        ASSERT_EQ(view()->heldFrom(), 0u) << query;
        EXPECT_EQ(view()->renderedKeys().front().id, idOf(found.front())) << query;
        search("");
        key(Qt::Key_End, Qt::ControlModifier);  // holding the newest again, none of the next
    }
}

TEST_F(EditingTest, AYearOfDictationAnswersAsADayDoes) {
    using Seconds = std::chrono::duration<double>;
    struct Figures {
        double open, keys, search, clear, size;
    };
    const auto timed = [](const std::function<void()>& act) {
        const auto t = std::chrono::steady_clock::now();
        act();
        return Seconds(std::chrono::steady_clock::now() - t).count();
    };
    const auto shows = [&](const std::string& text) {
        return !edit()->document()->find(QString::fromStdString(text)).isNull();
    };
    const auto settleUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 200 && !done(); ++i) settle();
    };
    const auto measure = [&](int days) {
        if (window) window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        model->engine().stopAndWait();
        model.reset();
        const auto folder = env.home.path() / ("dictation-" + std::to_string(days));
        testsupport::writeTranscript(folder, testsupport::makeDictation({.days = days}));
        model = std::make_unique<verbolin::AppModel>(world.appServices(folder));
        const std::string newest = model->store().segments.peek().back().text;
        const size_t paragraphs = model->store().allBlocks()->size();
        Figures f{};
        f.open = timed([&] {
            open();
            settleUntil([&] { return shows(newest); });
        });
        EXPECT_TRUE(shows(newest)) << days << " days: the newest paragraph is not shown";
        key(Qt::Key_End, Qt::ControlModifier);
        f.keys = timed([&] { type("xyz"); });
        EXPECT_TRUE(model->store().segments.peek().back().text.ends_with(newest + "xyz"))
            << days << " days";
        const auto held = [&] { return view()->inputs().blocks->size(); };
        f.search = timed([&] {
            search(testsupport::rareWord);
            settleUntil([&] { return held() < paragraphs; });
        });
        EXPECT_LT(held(), paragraphs) << days << " days";
        EXPECT_TRUE(shows(testsupport::rareWord)) << days << " days";
        f.clear = timed([&] {
            search("");
            settleUntil([&] { return held() == paragraphs && shows(newest); });
        });
        EXPECT_TRUE(shows(newest + "xyz")) << days << " days";
        QSlider* slider = window->fontSlider();
        const int was = slider->value();
        f.size = timed([&] {
            slider->setValue(slider->maximum());
            settle();
            slider->setValue(was);
            settle();
        });
        return f;
    };
    const Figures day = measure(1), year = measure(365);
    // Generous: a loaded machine slows either run, and a day's figures are
    // small enough for noise to matter.
    const auto bound = [](double small) { return 6 * small + 1.0; };
    EXPECT_LE(year.open, bound(day.open)) << "opening: a day " << day.open << " s";
    EXPECT_LE(year.keys, bound(day.keys)) << "typing: a day " << day.keys << " s";
    EXPECT_LE(year.search, bound(day.search)) << "searching: a day " << day.search << " s";
    EXPECT_LE(year.clear, bound(day.clear)) << "clearing: a day " << day.clear << " s";
    EXPECT_LE(year.size, bound(day.size)) << "text size: a day " << day.size << " s";
}

}  // namespace
