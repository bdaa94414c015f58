// The whole application on an X server: `verbolin` started as its own process
// with a random-weights model pack in a temporary data folder, a private
// PulseAudio server and trayer owning the tray. Its window and tray icon
// appear (the icon also when the tray starts later), Ctrl+Alt+Space pressed through XTest hides and
// shows the window, a second launch brings the window back, and SIGTERM ends it promptly with the
// transcript database intact; the editor's context menu acts on the paragraph right-clicked.
// ctest runs it under xvfb-run.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

#include "support/GeneratedAudio.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/SidebarWidget.hpp"
#include "verbolin/ui/StatusBarModel.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

// Last: Xlib defines macros that clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Display_ {
    Display* d = XOpenDisplay(nullptr);
    ~Display_() {
        if (d) XCloseDisplay(d);
    }
};

std::optional<std::pair<std::string, std::string>> windowClass(Display* d, Window w) {
    XClassHint hint{};
    if (!XGetClassHint(d, w, &hint)) return std::nullopt;
    std::pair<std::string, std::string> names{hint.res_name ? hint.res_name : "",
                                              hint.res_class ? hint.res_class : ""};
    XFree(hint.res_name);
    XFree(hint.res_class);
    return names;
}

std::vector<Window> children(Display* d, Window w) {
    Window root = 0, parent = 0, *list = nullptr;
    unsigned n = 0;
    std::vector<Window> out;
    if (XQueryTree(d, w, &root, &parent, &list, &n)) {
        out.assign(list, list + n);
        XFree(list);
    }
    return out;
}

// The first window under `top` (itself included) that `match` accepts.
std::optional<Window> find(Display* d, Window top, const std::function<bool(Window)>& match) {
    if (match(top)) return top;
    for (Window c : children(d, top))
        if (auto w = find(d, c, match)) return w;
    return std::nullopt;
}

bool isApp(Display* d, Window w) {
    auto c = windowClass(d, w);
    return c && c->first == "verbolin";
}

// The editor: a top-level window of the application, larger than its helpers.
std::optional<Window> editorWindow(Display* d) {
    for (Window w : children(d, DefaultRootWindow(d))) {
        XWindowAttributes a{};
        if (isApp(d, w) && XGetWindowAttributes(d, w, &a) && a.width >= 400) return w;
    }
    return std::nullopt;
}

bool viewable(Display* d, Window w) {
    XWindowAttributes a{};
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

// An application window embedded anywhere inside trayer's panel.
bool trayIconShown(Display* d) {
    auto panel = find(d, DefaultRootWindow(d), [d](Window w) {
        auto c = windowClass(d, w);
        return c && c->second == "trayer" && c->first == "panel";
    });
    if (!panel) return false;
    for (Window c : children(d, *panel))
        if (find(d, c, [d](Window w) { return isApp(d, w); })) return true;
    return false;
}

// Whether the keyboard focus is on `w` or inside it.
bool focused(Display* d, Window w) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    return focus == w ||
           (focus > PointerRoot && find(d, w, [focus](Window c) { return c == focus; }));
}

// Presses the keys together and lets them go in reverse order.
void pressKeys(Display* d, const std::vector<KeySym>& syms) {
    std::vector<KeyCode> keys;
    for (KeySym sym : syms) keys.push_back(XKeysymToKeycode(d, sym));
    // At a typist's pace: a few milliseconds between the key events.
    const auto send = [d](KeyCode k, bool down) {
        XTestFakeKeyEvent(d, k, down, CurrentTime);
        XSync(d, False);
        std::this_thread::sleep_for(15ms);
    };
    for (KeyCode k : keys) send(k, true);
    for (auto k = keys.rbegin(); k != keys.rend(); ++k) send(*k, false);
}

void pressHotKey(Display* d) { pressKeys(d, {XK_Control_L, XK_Alt_L, XK_space}); }

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const fs::path& log) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

// The exit status, or none when the process is still running at the limit.
std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit) {
    std::optional<int> status;
    waitUntil(
        [&] {
            int s = 0;
            if (::waitpid(pid, &s, WNOHANG) != pid) return false;
            status = s;
            return true;
        },
        limit);
    return status;
}

// Asks the window to close, as a window manager's close button does.
void requestClose(Display* d, Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XFlush(d);
}

// The states a window asks the window manager for.
std::vector<std::string> netWmState(Display* d, Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<std::string> names;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), 0, 64, False, XA_ATOM,
                           &type, &format, &n, &after, &data) != Success ||
        !data)
        return names;
    const auto* atoms = reinterpret_cast<const Atom*>(data);
    for (unsigned long i = 0; i < n; ++i) {
        char* name = XGetAtomName(d, atoms[i]);
        names.emplace_back(name ? name : "");
        XFree(name);
    }
    XFree(data);
    return names;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string integrity(const fs::path& db, int& segments) {
    sqlite3* h = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            h, "PRAGMA integrity_check",
            [](void* out, int, char** v, char**) {
                *static_cast<std::string*>(out) = v[0] ? v[0] : "";
                return 0;
            },
            &result, nullptr);
    }
    segments = int(verbolin::TranscriptStore(db.parent_path()).segments.peek().size());
    sqlite3_close(h);
    return result;
}

}  // namespace

// A temporary data folder with a random-weights model pack.
static void makePack(const fs::path& store) {
    testsupport::runTool(std::string("'") + VERBOLIN_BINARY_DIR + "/verbolin-models' random '" +
                         (store / "models/standard-v1").string() +
                         "' --tokenizer '" VERBOLIN_TEST_DATA_DIR
                         "/whisper-en-tokenizer' --dims d_model=64,heads=2,ffn=128,layers=2 "
                         ">/dev/null");
}

TEST(AppShellXvfb, WithoutATrayClosingTheWindowSaysOnceHowToGetItBack) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    Display_ x;
    ASSERT_NE(x.d, nullptr);
    testsupport::TempDir dir("verbolin-notray");
    makePack(dir / "data/Verbolin");
    fs::create_directories(dir / "config/Verbolin");
    std::ofstream(dir / "config/Verbolin/settings.json") << R"({"alwaysOnTop": true})";
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    const fs::path log = dir / "verbolin.log";
    // No platform chosen, in a Wayland session whose compositor is not
    // there: the X display that answers is used.
    const pid_t app = spawn(
        {VERBOLIN_BINARY_DIR "/verbolin"},
        {"XDG_DATA_HOME=" + (dir / "data").string(), "XDG_CONFIG_HOME=" + (dir / "config").string(),
         "PULSE_SERVER=" + pulse.serverString(), "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE=wayland",
         "WAYLAND_DISPLAY=wayland-0", "XDG_RUNTIME_DIR=" + dir.path().string()},
        log);
    const auto stop = [&] {
        ::kill(app, SIGTERM);
        if (!waitExit(app, 20s)) {
            ::kill(app, SIGKILL);
            ::waitpid(app, nullptr, 0);
        }
    };
    const std::string message = "Press Ctrl+Alt+Space or run verbolin again";
    std::optional<Window> window;
    for (int round = 0; round < 2; ++round) {
        // The window, the first time or brought back by the hot key.
        if (!waitUntil([&] { return (window = editorWindow(x.d)) && viewable(x.d, *window); },
                       20s)) {
            stop();
            FAIL() << "round " << round << ": no window\n" << testsupport::readFile(log);
        }
        // "Always on top" asks to stay above the others on every workspace.
        const auto states = netWmState(x.d, *window);
        for (const char* state : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY"})
            EXPECT_NE(std::find(states.begin(), states.end(), state), states.end())
                << state << " in round " << round;
        requestClose(x.d, *window);
        ASSERT_TRUE(waitUntil([&] { return !editorWindow(x.d); }, 20s));  // closed, not hidden
        ASSERT_TRUE(waitUntil([&] { return count(testsupport::readFile(log), message) > 0; }, 20s))
            << testsupport::readFile(log);
        EXPECT_EQ(::waitpid(app, nullptr, WNOHANG), 0) << "the application ended with its window";
        pressHotKey(x.d);
    }
    ASSERT_TRUE(
        waitUntil([&] { return (window = editorWindow(x.d)) && viewable(x.d, *window); }, 20s));
    EXPECT_EQ(count(testsupport::readFile(log), message), 1u) << testsupport::readFile(log);

    // A tray host that starts after the application (a panel autostarted
    // later) gets the icon.
    EXPECT_FALSE(trayIconShown(x.d));
    const pid_t tray = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                              "request", "--height", "24", "--SetDockType", "false"},
                             {}, dir / "trayer.log");
    EXPECT_TRUE(waitUntil([&] { return trayIconShown(x.d); }, 20s)) << testsupport::readFile(log);
    const auto stopTray = [tray] {
        ::kill(tray, SIGTERM);
        ::waitpid(tray, nullptr, 0);
    };

    // Ctrl+Q in the window quits through the same path as a signal.
    EXPECT_TRUE(waitUntil([&] { return focused(x.d, *window); }, 20s));
    pressKeys(x.d, {XK_Control_L, XK_q});
    const auto status = waitExit(app, 20s);
    if (!status) stop();
    stopTray();
    ASSERT_TRUE(status.has_value()) << "Ctrl+Q did not quit\n" << testsupport::readFile(log);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << testsupport::readFile(log);
}

TEST(AppShellXvfb, WindowTrayHotKeySecondLaunchAndSigterm) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    Display_ x;
    ASSERT_NE(x.d, nullptr);
    testsupport::TempDir dir("verbolin-shell");
    const fs::path data = dir / "data", store = data / "Verbolin";
    makePack(store);
    {
        // Something to show, and to find intact afterwards.
        verbolin::TranscriptStore seed(store);
        auto at = std::chrono::system_clock::now() - 1h;
        for (const char* text : {"First paragraph of the morning notes.", "It goes on here.",
                                 "A second paragraph after a pause."}) {
            verbolin::Segment s;
            s.start = at;
            s.end = at + 2s;
            s.text = text;
            seed.append(s);
            at += text[0] == 'I' ? 10s : 3s;
        }
    }
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    fs::create_directories(dir / "runtime");
    fs::permissions(dir / "runtime", fs::perms::owner_all);
    const std::vector<std::string> env = {
        "XDG_DATA_HOME=" + data.string(), "XDG_CONFIG_HOME=" + (dir / "config").string(),
        "XDG_RUNTIME_DIR=" + (dir / "runtime").string(), "PULSE_SERVER=" + pulse.serverString(),
        "QT_QPA_PLATFORM=xcb"};
    const fs::path log = dir / "verbolin.log";

    const pid_t tray = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                              "request", "--height", "24", "--SetDockType", "false"},
                             {}, dir / "trayer.log");
    ASSERT_TRUE(waitUntil(
        [&] {
            return find(x.d, DefaultRootWindow(x.d),
                        [&](Window w) {
                            auto c = windowClass(x.d, w);
                            return c && c->second == "trayer";
                        })
                .has_value();
        },
        10s))
        << "trayer did not start (scripts/install-deps installs it)";

    const auto started = Clock::now();
    const pid_t app = spawn({VERBOLIN_BINARY_DIR "/verbolin"}, env, log);
    std::optional<Window> window;
    const bool shown =
        waitUntil([&] { return (window = editorWindow(x.d)) && viewable(x.d, *window); }, 20s);
    const auto shownAfter = Clock::now() - started;
    const auto kill = [&] {
        ::kill(app, SIGKILL);
        ::waitpid(app, nullptr, 0);
        ::kill(tray, SIGTERM);
        ::waitpid(tray, nullptr, 0);
    };
    if (!shown) kill();
    ASSERT_TRUE(shown) << testsupport::readFile(log);
    std::cout << "[ INFO     ] window shown "
              << std::chrono::duration_cast<std::chrono::milliseconds>(shownAfter).count()
              << " ms after launch\n";
    EXPECT_TRUE(waitUntil([&] { return trayIconShown(x.d); }, 20s)) << testsupport::readFile(log);

    // The window takes the focus when shown; a press then hides it.
    EXPECT_TRUE(waitUntil([&] { return focused(x.d, *window); }, 20s));
    pressHotKey(x.d);
    EXPECT_TRUE(waitUntil([&] { return !viewable(x.d, *window); }, 20s));
    pressHotKey(x.d);
    EXPECT_TRUE(waitUntil([&] { return viewable(x.d, *window); }, 20s));

    // Hidden again, a second launch shows it and ends at once.
    EXPECT_TRUE(waitUntil([&] { return focused(x.d, *window); }, 20s));
    pressHotKey(x.d);
    EXPECT_TRUE(waitUntil([&] { return !viewable(x.d, *window); }, 20s));
    const pid_t second = spawn({VERBOLIN_BINARY_DIR "/verbolin"}, env, dir / "second.log");
    const auto secondStatus = waitExit(second, 20s);
    ASSERT_TRUE(secondStatus.has_value()) << testsupport::readFile(dir / "second.log");
    EXPECT_TRUE(WIFEXITED(*secondStatus) && WEXITSTATUS(*secondStatus) == 0);
    EXPECT_TRUE(waitUntil([&] { return viewable(x.d, *window); }, 20s));

    // Let the model load and listening start before the picture.
    waitUntil([&] { return false; }, 1500ms);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(WId(*window));
    EXPECT_EQ(shot.size(), QSize(960, 600));
    EXPECT_TRUE(shot.save(
        QString::fromStdString(std::string(VERBOLIN_BINARY_DIR) + "/app-window-screenshot.png")));

    const auto termAt = Clock::now();
    ::kill(app, SIGTERM);
    const auto status = waitExit(app, 8s);
    std::cout
        << "[ INFO     ] exited "
        << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - termAt).count()
        << " ms after SIGTERM\n";
    if (!status) kill();
    ::kill(tray, SIGTERM);
    ::waitpid(tray, nullptr, 0);
    ASSERT_TRUE(status.has_value()) << "still running 8 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << *status << testsupport::readFile(log);
    int segments = 0;
    EXPECT_EQ(integrity(store / "transcript.sqlite", segments), "ok");
    EXPECT_GE(segments, 3);
}

// Closing the terminal the application was started from (SIGHUP) quits it
// the way SIGTERM does: at once, with status 0 and the transcript intact.
TEST(AppShellXvfb, AClosedTerminalQuitsItCleanly) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    Display_ x;
    ASSERT_NE(x.d, nullptr);
    testsupport::TempDir dir("verbolin-hangup");
    const fs::path store = dir / "data/Verbolin";
    makePack(store);
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    const fs::path log = dir / "verbolin.log";
    const pid_t app = spawn(
        {VERBOLIN_BINARY_DIR "/verbolin"},
        {"XDG_DATA_HOME=" + (dir / "data").string(), "XDG_CONFIG_HOME=" + (dir / "config").string(),
         "PULSE_SERVER=" + pulse.serverString(), "QT_QPA_PLATFORM=xcb"},
        log);
    std::optional<Window> window;
    const bool shown =
        waitUntil([&] { return (window = editorWindow(x.d)) && viewable(x.d, *window); }, 20s);
    if (shown) ::kill(app, SIGHUP);
    const auto status = waitExit(app, 8s);
    if (!status) {
        ::kill(app, SIGKILL);
        ::waitpid(app, nullptr, 0);
    }
    ASSERT_TRUE(shown) << testsupport::readFile(log);
    ASSERT_TRUE(status.has_value()) << "still running 8 s after SIGHUP";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << *status << testsupport::readFile(log);
    int segments = 0;
    EXPECT_EQ(integrity(store / "transcript.sqlite", segments), "ok");
}

namespace {

// The pointer moved to `global`, and `button` pressed and let go there.
void clickAt(Display* d, QPoint global, unsigned button) {
    XTestFakeMotionEvent(d, -1, global.x(), global.y(), CurrentTime);
    XTestFakeButtonEvent(d, button, True, CurrentTime);  // the server keeps the order
    XTestFakeButtonEvent(d, button, False, CurrentTime);
    XSync(d, False);
}

std::vector<std::string> segmentTexts(const std::vector<verbolin::Segment>& segments) {
    std::vector<std::string> out;
    for (const auto& s : segments) out.push_back(s.text);
    return out;
}

enum class Spot { line, divider, below };

// The window over a transcript of its own, in a home of its own, closed
// with its engine stopped at the end.
struct WindowWorld {
    apptest::TestEnvironment env;
    apptest::EngineWorld world;
    const fs::path folder = env.home.path() / "store";
    std::unique_ptr<verbolin::AppModel> model =
        std::make_unique<verbolin::AppModel>(world.appServices(folder));
    verbolin::QtMainExecutor main;
    verbolin::MemoryPasteboard pasteboard;
    QPointer<verbolin::EditorWindow> window{new verbolin::EditorWindow(*model, main, pasteboard)};
    ~WindowWorld() {
        if (window) window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        model->engine().stopAndWait();
    }
};

// A point on screen on the first line of a paragraph, on the divider above
// it, or below the text.
QPoint pointAt(const verbolin::TimelineTextView& view, int paragraph, Spot spot) {
    const QTextDocument& doc = *view.textEdit()->document();
    const auto& ranges = view.ranges();
    const int location = spot == Spot::below ? ranges.back().end() : ranges[paragraph].location;
    const QRectF line = verbolin::DocumentGeometry::lineAt(doc, location)->rect;
    const double spacing = doc.findBlock(location).blockFormat().topMargin();
    const double y = spot == Spot::below     ? line.bottom() + 12
                     : spot == Spot::divider ? line.top() - spacing / 2
                                             : line.center().y();
    return view.textEdit()->viewport()->mapToGlobal(
        QPoint(int(line.left()) + 12, int(y - view.scrollY())));
}

}  // namespace

// A right-click outside the selection moves the caret where it points, so "Delete
// Paragraph" deletes the paragraph clicked, from the window and the database; one
// inside a selection deletes what it holds, and one on no paragraph (below the
// text, on a divider) deletes nothing. Clicks go through the X server.
TEST(AppShellXvfb, DeleteParagraphFromTheContextMenuDeletesWhatWasRightClicked) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    Display_ x;
    ASSERT_NE(x.d, nullptr);
    WindowWorld w;
    const fs::path& folder = w.folder;
    auto& model = w.model;
    auto& window = w.window;
    const std::vector<std::string> paragraphs = {
        "Alpha paragraph, the first one.", "Bravo paragraph, the second one.",
        "Charlie paragraph, the third one.", "Delta paragraph, the fourth one."};
    const std::string hint = verbolin::StatusBarModel::trailing({}, false, std::nullopt, {}).text;

    const struct {
        const char* name;
        int from, to;  // a caret put in `from` by a left click, or the program's selection
        int at;        // the paragraph right-clicked
        Spot spot;
        int first, last;  // selected while the menu is open
        bool deletes;     // "Delete Paragraph" enabled, and deletes [first, last]
    } rows[] = {
        {"caret in A, right-click in B", 0, 0, 1, Spot::line, 1, 1, true},
        {"right-click inside a selection of A and B", 0, 1, 1, Spot::line, 0, 1, true},
        {"right-click in D outside a selection of A and B", 0, 1, 3, Spot::line, 3, 3, true},
        // On no paragraph the caret still goes where a left click would.
        {"right-click below the text", 0, 1, 3, Spot::below, 3, 3, false},
        {"right-click on the divider above C", 0, 0, 2, Spot::divider, 2, 2, false},
    };
    auto& store = model->store();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        uitest::fill(store, paragraphs, std::chrono::minutes(10));
        window->show();
        window->activateWindow();
        window->refresh();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.data()));
        auto& view = window->pane()->textView();
        auto* edit = view.textEdit();
        ASSERT_EQ(view.heldFrom(), 0u);  // a few paragraphs are held whole
        const std::vector<verbolin::ParagraphRange> ranges = view.ranges();
        ASSERT_EQ(ranges.size(), paragraphs.size());
        const auto blocks = *store.allBlocks();
        const auto middle = [&](int p) { return ranges[p].location + ranges[p].length / 2; };
        const auto ids = [&](int first, int last) {
            std::vector<platform::Uuid> out;
            for (int p = first; p <= last; ++p) out.push_back(blocks[p].id);
            return out;
        };

        if (row.from == row.to) {
            clickAt(x.d, pointAt(view, row.from, Spot::line), Button1);
        } else {
            QTextCursor c(edit->document());
            c.setPosition(middle(row.from));
            c.setPosition(middle(row.to), QTextCursor::KeepAnchor);
            edit->setTextCursor(c);
        }
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return window->editor().selectedIDs == ids(row.from, row.to); }));

        // Once the menu is open: what the window shows, then its first item
        // clicked. Without a menu nothing is deleted, which fails below.
        bool menuSeen = false;
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu || !menu->isVisible() || menu->actions().isEmpty()) return;
            driver.stop();
            menuSeen = true;
            QCoreApplication::sendPostedEvents();  // the selection is reported a turn late
            EXPECT_EQ(window->editor().selectedIDs, ids(row.first, row.last));
            // The status bar's trailing side, whole in its tooltip where it is cut.
            const QLabel* trailing = window->statusBar()->trailing();
            EXPECT_EQ((trailing->toolTip().isEmpty() ? trailing->text() : trailing->toolTip())
                          .toStdString(),
                      row.first == row.last ? hint : verbolin::StatusBarModel::selectionText(2));
            QAction* first = menu->actions().front();
            EXPECT_EQ(first->text(), QStringLiteral("Delete Paragraph"));
            EXPECT_EQ(first->isEnabled(), row.deletes);
            clickAt(x.d, menu->mapToGlobal(menu->actionGeometry(first).center()), Button1);
            // A disabled item leaves the menu open: closed once the click would have acted.
            if (!first->isEnabled()) QTimer::singleShot(200, menu, [menu] { menu->close(); });
        });
        driver.start(20);
        clickAt(x.d, pointAt(view, row.at, row.spot), Button3);
        std::vector<std::string> kept;
        for (int p = 0; p < int(paragraphs.size()); ++p)
            if (!row.deletes || p < row.first || p > row.last) kept.push_back(paragraphs[p]);
        const bool deleted = QTest::qWaitFor(
            [&] { return menuSeen && segmentTexts(store.segments.peek()) == kept; });
        driver.stop();
        if (auto* popup = QApplication::activePopupWidget()) popup->close();
        ASSERT_TRUE(deleted) << "left: "
                             << testing::PrintToString(segmentTexts(store.segments.peek()));
        // The window shows what is left, and so does the file.
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.ranges().size() == kept.size(); }));
        for (const auto& p : paragraphs)
            EXPECT_EQ(view.text().string().contains(QString::fromStdString(p)),
                      std::ranges::count(kept, p) == 1)
                << p;
        verbolin::TranscriptDB db(folder / "transcript.sqlite",
                                  verbolin::TranscriptDB::Access::readOnly);
        EXPECT_EQ(segmentTexts(db.allSegments()), kept);
    }
}

// Ctrl+Z, and Ctrl+Shift+Z or Ctrl+Y, pressed on the X server's keyboard
// reach the window's history wherever the focus is; Qt finds no shortcut of
// the window ambiguous (one that is, it ignores).
TEST(AppShellXvfb, UndoAndRedoKeysWorkWhereverTheFocusIs) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    Display_ x;
    ASSERT_NE(x.d, nullptr);
    static std::atomic<int> ambiguous{0};
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
            if (m.contains(QLatin1String("Ambiguous shortcut"))) ++ambiguous;
        });
    apptest::TestEnvironment env;
    apptest::EngineWorld world;
    auto model = std::make_unique<verbolin::AppModel>(world.appServices(env.home.path() / "s"));
    verbolin::QtMainExecutor main;
    verbolin::MemoryPasteboard pasteboard;
    auto& store = model->store();
    uitest::fill(store, {"Alpha one."});
    QPointer<verbolin::EditorWindow> window(new verbolin::EditorWindow(*model, main, pasteboard));
    window->show();
    window->activateWindow();
    window->refresh();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.data()));
    auto* edit = window->pane()->textView().textEdit();
    edit->setFocus();
    edit->moveCursor(QTextCursor::End);
    QTest::keyClicks(edit, " X");
    const auto holds = [&](const char* text) {
        return QTest::qWaitFor([&] { return segmentTexts(store.segments.peek()).back() == text; },
                               20000);
    };
    ASSERT_TRUE(holds("Alpha one. X"));

    const struct {
        const char* name;
        QWidget* focus;
        std::vector<KeySym> redo;
    } rows[] = {
        {"the sidebar, Ctrl+Shift+Z", window->sidebar()->list(), {XK_Control_L, XK_Shift_L, XK_z}},
        {"the sidebar, Ctrl+Y", window->sidebar()->list(), {XK_Control_L, XK_y}},
        {"the search field, Ctrl+Shift+Z", window->searchField(), {XK_Control_L, XK_Shift_L, XK_z}},
        {"the search field, Ctrl+Y", window->searchField(), {XK_Control_L, XK_y}},
        {"the timeline, Ctrl+Shift+Z", edit, {XK_Control_L, XK_Shift_L, XK_z}},
        {"the timeline, Ctrl+Y", edit, {XK_Control_L, XK_y}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.focus->setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == row.focus; }));
        pressKeys(x.d, {XK_Control_L, XK_z});
        EXPECT_TRUE(holds("Alpha one."));
        pressKeys(x.d, row.redo);
        EXPECT_TRUE(holds("Alpha one. X"));
    }
    EXPECT_EQ(ambiguous.load(), 0);
    qInstallMessageHandler(previous);
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    model->engine().stopAndWait();
}

namespace {

// A point on screen just right of `position` on its line (the end of a
// paragraph: past its text), or on it.
QPoint screenPointAt(const verbolin::TimelineTextView& view, int position, int right = 0) {
    QTextCursor c(view.textEdit()->document());
    c.setPosition(position);
    const QRect r = view.textEdit()->cursorRect(c);
    return view.textEdit()->viewport()->mapToGlobal(r.center() + QPoint(right, 0));
}

}  // namespace

// Text that enters the window by the mouse, a middle-click paste of the X
// selection or a triple-click typed over, is stored as the window shows it,
// and the keys after it land where they are typed.
TEST(AppShellXvfb, MouseEditsAreStoredAsShown) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    Display_ x;
    ASSERT_NE(x.d, nullptr);
    WindowWorld w;
    const fs::path& folder = w.folder;
    auto& model = w.model;
    auto& window = w.window;
    const std::vector<std::string> three = {"Alpha one two.", "Bravo four five six.",
                                            "Charlie seven eight nine."};
    auto& store = model->store();
    verbolin::TimelineTextView* view = nullptr;
    const auto range = [&](int p) { return view->ranges()[size_t(p)]; };
    const auto doubleClickAt = [&](QPoint p) {
        clickAt(x.d, p, Button1);
        clickAt(x.d, p, Button1);
    };
    const auto typeAt = [&](int position, const char* text) {
        QTextCursor c = view->textEdit()->textCursor();
        c.setPosition(position);
        view->textEdit()->setTextCursor(c);
        QTest::keyClicks(view->textEdit(), QString::fromUtf8(text));
    };
    const struct {
        const char* name;
        std::function<void()> run;
        std::vector<std::string> after;
    } rows[] = {
        {"a middle-click paste at the end of a paragraph, then typing in another",
         [&] {
             doubleClickAt(
                 screenPointAt(*view, range(0).location + 2));  // "Alpha", the X selection
             clickAt(x.d, screenPointAt(*view, range(1).end(), 40), Button2);
             ASSERT_TRUE(QTest::qWaitFor(
                 [&] { return segmentTexts(store.segments.peek())[1] == three[1] + "Alpha"; }));
             typeAt(range(2).end(), " typed");
         },
         {three[0], three[1] + "Alpha", three[2] + " typed"}},
        {"a middle-click paste into an emptied paragraph",
         [&] {
             doubleClickAt(screenPointAt(*view, range(0).location + 2));
             QTextCursor c = view->textEdit()->textCursor();
             c.setPosition(range(1).location);
             c.setPosition(range(1).end(), QTextCursor::KeepAnchor);
             view->textEdit()->setTextCursor(c);
             QTest::keyClick(view->textEdit(), Qt::Key_Backspace);
             ASSERT_EQ(range(1).length, 0);
             clickAt(x.d, screenPointAt(*view, range(1).location, 40), Button2);
             ASSERT_TRUE(QTest::qWaitFor(
                 [&] { return segmentTexts(store.segments.peek())[1] == "Alpha"; }));
             typeAt(range(1).end(), "!");
         },
         {three[0], "Alpha!", three[2]}},
        {"a middle button let go during a drag ends the drag, pasting nothing; typing "
         "replaces what it selected",
         [&] {
             doubleClickAt(screenPointAt(*view, range(2).location + 2));  // the X selection
             const QPoint from = screenPointAt(*view, range(0).location),
                          to = screenPointAt(*view, range(0).location + 5);
             XTestFakeMotionEvent(x.d, -1, from.x(), from.y(), CurrentTime);
             XTestFakeButtonEvent(x.d, Button1, True, CurrentTime);
             XTestFakeMotionEvent(x.d, -1, to.x(), to.y(), CurrentTime);
             XTestFakeButtonEvent(x.d, Button2, True, CurrentTime);
             XTestFakeButtonEvent(x.d, Button2, False, CurrentTime);
             XTestFakeButtonEvent(x.d, Button1, False, CurrentTime);
             XSync(x.d, False);
             ASSERT_TRUE(QTest::qWaitFor(
                 [&] { return view->textEdit()->textCursor().selectedText() == "Alpha"; }));
             QTest::keyClicks(view->textEdit(), "New");
         },
         {"New one two.", three[1], three[2]}},
        {"a triple-click selects the paragraph's text, which typing replaces",
         [&] {
             const QPoint p = screenPointAt(*view, range(0).location + 3);
             clickAt(x.d, p, Button1), clickAt(x.d, p, Button1), clickAt(x.d, p, Button1);
             ASSERT_TRUE(QTest::qWaitFor([&] {
                 const QTextCursor c = view->textEdit()->textCursor();
                 return c.selectionStart() == range(0).location &&
                        c.selectionEnd() == range(0).end();
             }));
             QTest::keyClicks(view->textEdit(), "New");
         },
         {"New", three[1], three[2]}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        uitest::fill(store, three, std::chrono::minutes(10));
        window->show();
        window->activateWindow();
        window->refresh();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.data()));
        view = &window->pane()->textView();
        ASSERT_EQ(view->heldFrom(), 0u);
        view->textEdit()->setFocus();
        ASSERT_EQ(view->ranges().size(), three.size());
        row.run();
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return segmentTexts(store.segments.peek()) == row.after;
        })) << testing::PrintToString(segmentTexts(store.segments.peek()));
        // The window shows the same, and so does the file.
        for (int p = 0; p < int(three.size()); ++p)
            EXPECT_EQ(verbolin::paragraphText(view->text(), range(p)).toStdString(),
                      row.after[size_t(p)]);
        verbolin::TranscriptDB db(folder / "transcript.sqlite",
                                  verbolin::TranscriptDB::Access::readOnly);
        EXPECT_EQ(segmentTexts(db.allSegments()), row.after);
    }
}
