#include "verbolin/ui/VerbolinApplication.hpp"

#include <QApplication>
#include <QPointer>
#include <QShortcut>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/system/Paths.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/InstanceLock.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/DisplayCheck.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/GlobalHotKey.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtAppHost.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/QtWindowHost.hpp"
#include "verbolin/ui/QuitPath.hpp"
#include "verbolin/ui/QuitSignals.hpp"
#include "verbolin/ui/SingleInstance.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"
#include "verbolin/ui/TrayItem.hpp"

namespace verbolin {
namespace {

// Said once, the first time the window closes with no tray icon to find the
// application by.
void sayStillRunning(bool hotKey) {
    if (hotKey)
        std::fprintf(stderr,
                     "Verbolin is still running (this desktop has no tray). Press Ctrl+Alt+Space "
                     "or run verbolin again to show its window; Ctrl+Q in the window quits.\n");
    else
        std::fprintf(stderr,
                     "Verbolin is still running (this desktop has no tray). Run verbolin again to "
                     "show its window; Ctrl+Q in the window quits.\n");
}

// Whoever quits with a signal is at a terminal, and may wait there for the
// last decode.
void sayWhenDraining(TranscriptionEngine& engine) {
    engine.onDrainWaits = [] {
        std::fprintf(stderr, "%s\n", TranscriptionEngine::kDrainWaitsNotice);
    };
}

void nameApplication() {
    QApplication::setApplicationName(QStringLiteral("verbolin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Verbolin"));
    QApplication::setDesktopFileName(QStringLiteral("verbolin"));
    // The application lives on without its window.
    QApplication::setQuitOnLastWindowClosed(false);
}

// The running application: its model, window, tray item and hot key, and
// the one quit path they all end through.
class Desktop {
  public:
    explicit Desktop(QtMainExecutor& main)
        : main_(main), model_(services(main)), quit_(main, quitSteps()) {}

    // From here a signal quits through the quit path. Another signal while
    // quitting stops at once, keeping the audio not yet transcribed.
    void onSignal() {
        if (!quit_.quitting()) sayWhenDraining(model_.engine());
        quit_.stopNow();
    }

    void start(const QString& instanceName) {
        // A signal during the start already quits: nothing is made and
        // shown only to be taken down.
        if (quit_.quitting()) return;
        model_.setOpenEditorAction([this] { openEditor(); });
        makeTray();
        // A press that was on its way when quitting began must not bring the
        // window back; so must not the launch's own opening below.
        hotKey_ = GlobalHotKey::create([this] {
            main_.post([this] {
                if (!quit_.quitting()) model_.toggleWindow();
            });
        });
        instance_ = std::make_unique<SingleInstance>(instanceName, [this] {
            if (!quit_.quitting()) model_.showWindow();
        });
        // The window opens at launch; once the loop runs, it is brought
        // forward through the model as every later opening is.
        openEditor();
        main_.post([this] {
            if (quit_.quitting()) return;
            if (const auto& open = model_.openEditorAction()) open();
        });
    }

    void quitNow() {
        sayWhenDraining(model_.engine());
        quit_.request();
    }

    // Whether quitting gave up a decode that is still running, or left a
    // listening thread that has not come back, or the model is still being
    // prepared: the model would wait for it as it goes.
    bool threadsLeftRunning() {
        return model_.engine().threadsLeftRunning() || model_.engine().loadLeftRunning();
    }
    // For a process that ends without unwinding: what the store's
    // destructor would still write, or say, is written and said now.
    void lastSave() { model_.store().lastSave(); }
    // For a process that ends without unwinding: its socket goes as it
    // would with the object, so that nothing is left for the next launch.
    void closeInstance() { instance_.reset(); }

    // However the loop ended, listening stops before the model goes, and the
    // texts it posted on the way are stored.
    void finish() {
        quit_.stopEngineIfNeeded();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        hotKey_.reset();
        tray_.reset();
        delete editor_;
    }

  private:
    static AppModel::Services services(QtMainExecutor& main) {
        AppModel::Services services;
        services.main = &main;
        services.app = std::make_shared<QtAppHost>();
        services.quitAsked = &QuitSignals::arrived();
        return services;
    }

    QuitPath::Steps quitSteps() {
        return {
            [this] {
                if (editor_) editor_->hide();
                if (tray_) tray_->hide();
                hotKey_.reset();
            },
            [this] { model_.engine().stopAndWait(); },
            [] { QCoreApplication::quit(); },
            [this](std::function<void()> stopped) { model_.engine().stopThen(std::move(stopped)); },
            [this] { model_.engine().stopNow(); },
        };
    }

    void openEditor() {
        if (!editor_) {
            editor_ = new EditorWindow(model_, main_, pasteboard_);
            auto* quitKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), editor_);
            QObject::connect(quitKey, &QShortcut::activated, [this] { quit_.request(); });
            QObject::connect(editor_, &QObject::destroyed, [this] {
                if (quit_.quitting() || (tray_ && tray_->available()) || saidStillRunning_) return;
                saidStillRunning_ = true;
                sayStillRunning(hotKey_ != nullptr);
            });
            // Said in the first window only: it is news once per launch.
            if (const auto notice = model_.settingsNotice(); notice && !saidSettings_) {
                saidSettings_ = true;
                editor_->statusBar()->setSettingsNotice(*notice);
            }
        }
        editor_->host()->makeKeyAndOrderFront();
    }

    void makeTray() {
        TrayMenuModel::Services trayServices;
        trayServices.copy = [this](const std::string& text) {
            pasteboard_.clearAndSetString(QString::fromStdString(text));
        };
        trayServices.quit = [this] { quit_.request(); };
        trayServices.inputDevices = [] { return AudioCapture::inputDevices(); };
        tray_ = std::make_unique<TrayItem>(model_, std::move(trayServices));
    }

    QtMainExecutor& main_;
    AppModel model_;
    ClipboardPasteboard pasteboard_;
    QuitPath quit_;
    QPointer<EditorWindow> editor_;
    std::unique_ptr<TrayItem> tray_;
    std::unique_ptr<GlobalHotKey> hotKey_;
    std::unique_ptr<SingleInstance> instance_;
    bool saidStillRunning_ = false;
    bool saidSettings_ = false;
};

// A loop held by the last decode's wait is not taken for one that stopped
// answering, and the wait's audio is written before any kill.
static_assert(QuitSignals::kUnanswered >=
              TranscriptionEngine::kDrainLimit + std::chrono::seconds(5));

// Runs the application whose instance this process is, until it quits.
int runDesktop(const QString& instanceName) {
    // A signal that comes while the model is still being made waits for the
    // quit path to exist.
    Desktop* desktop = nullptr;
    bool quitEarly = false;
    QuitSignals quitSignals([&](int) {
        if (desktop)
            desktop->onSignal();
        else
            quitEarly = true;
    });
    QtMainExecutor main;
    Desktop running(main);
    desktop = &running;
    // The transcript is read. A signal that came meanwhile quits from here,
    // and no window is made; what follows makes and shows the window, whose
    // first show lays out a screen's worth, and the loop answers next.
    quitSignals.answerWaiting();
    quitSignals.watchFromHere();
    running.start(instanceName);
    if (quitEarly) running.quitNow();
    // The window exists: from here a signal left unread is the loop's fault.
    const int status = quitSignals.runLoop([] { return QApplication::exec(); });
    desktop = nullptr;
    running.finish();
    // Quitting gave up a decode that has not returned, or whose thread has
    // not come back to it (a second signal, or the wait's bound): its audio
    // is kept and everything else stored. Returning would wait for that
    // thread, and a decode still running as the process unwinds would crash
    // in the numeric libraries.
    if (running.threadsLeftRunning()) {
        running.closeInstance();
        running.lastSave();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

}  // namespace

std::optional<std::string> openFilesShortfall(std::uint64_t limit) {
    if (limit >= kOpenFilesNeeded) return std::nullopt;
    return "Verbolin needs at least " + std::to_string(kOpenFilesNeeded) +
           " open files; the limit is " + std::to_string(limit) + " (ulimit -n)";
}

int runApplication(int argc, char** argv) {
    // Qt would abort with a message about platform plugins; what is
    // missing is said plainly, with what works without a display.
    const auto display = DisplayCheck::check();
    if (display.missing) {
        std::fprintf(stderr,
                     "verbolin: no graphical display found (%s), so the window cannot open.\n"
                     "Run verbolin --listen to dictate without a window, or verbolin --status for "
                     "the transcript's state.\n",
                     display.missing->c_str());
        return 1;
    }
    if (display.platform) ::setenv("QT_QPA_PLATFORM", display.platform->c_str(), 1);
    QApplication app(argc, argv);
    afterApplicationCreated();
    nameApplication();

    const auto dataFolder = platform::applicationSupportDirectory() / "Verbolin";
    const QString instanceName = SingleInstance::serverName(dataFolder);
    if (SingleInstance::askRunningToShow(instanceName)) {
        std::fprintf(stderr, "Verbolin is already running; its window has been brought forward.\n");
        return 0;
    }
    // No window answered, but `verbolin --listen` may be listening here.
    const InstanceLock lock = InstanceLock::forStandardFolder();
    if (!lock.held()) {
        std::fprintf(stderr, "verbolin: %s\n", lock.refusal().c_str());
        return 1;
    }
    if (lock.problem()) std::fprintf(stderr, "verbolin: %s\n", lock.problem()->c_str());
    return runDesktop(instanceName);
}

}  // namespace verbolin
