#include "verbolin/ui/VerbolinApplication.hpp"

#include <QApplication>
#include <QPointer>
#include <QShortcut>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/system/Paths.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/GlobalHotKey.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtAppHost.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/QtWindowHost.hpp"
#include "verbolin/ui/QuitPath.hpp"
#include "verbolin/ui/QuitSignals.hpp"
#include "verbolin/ui/SingleInstance.hpp"
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

// Qt aborts with a message about platform plugins when it finds no display;
// say plainly what is missing and what works without one instead.
bool displayReachable() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// Whoever quits with a signal is at a terminal, and may wait there for the
// last decode.
void sayWhenDraining(TranscriptionEngine& engine) {
    engine.onDrainWaits = [] {
        std::fprintf(stderr, "%s\n", TranscriptionEngine::kDrainWaitsNotice);
    };
}

}  // namespace

int runApplication(int argc, char** argv) {
    if (!displayReachable()) {
        std::fprintf(stderr,
                     "verbolin: no graphical display found (DISPLAY is not set), so the window "
                     "cannot open.\nRun verbolin --listen to dictate without a window, or "
                     "verbolin --status for the transcript's state.\n");
        return 1;
    }
    QApplication app(argc, argv);
    afterApplicationCreated();
    QApplication::setApplicationName(QStringLiteral("verbolin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Verbolin"));
    QApplication::setDesktopFileName(QStringLiteral("verbolin"));
    // The application lives on without its window.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString instanceName =
        SingleInstance::serverName(platform::applicationSupportDirectory() / "Verbolin");
    if (SingleInstance::askRunningToShow(instanceName)) {
        std::fprintf(stderr, "Verbolin is already running; its window has been brought forward.\n");
        return 0;
    }

    // From here a signal quits through the quit path; one that comes while
    // the model is still being made waits for the path to exist. Another
    // signal while quitting stops at once, keeping the audio not yet
    // transcribed.
    QuitPath* quitPath = nullptr;
    TranscriptionEngine* engine = nullptr;
    bool quitEarly = false;
    const QuitSignals quitSignals([&](int) {
        if (!quitPath) {
            quitEarly = true;
            return;
        }
        if (!quitPath->quitting()) sayWhenDraining(*engine);
        quitPath->stopNow();
    });

    QtMainExecutor main;
    AppModel::Services services;
    services.main = &main;
    services.app = std::make_shared<QtAppHost>();
    AppModel model(std::move(services));
    ClipboardPasteboard pasteboard;

    QPointer<EditorWindow> editor;
    std::unique_ptr<TrayItem> tray;
    std::unique_ptr<GlobalHotKey> hotKey;
    bool saidStillRunning = false;

    QuitPath quit(main, {
                            [&] {
                                if (editor) editor->hide();
                                if (tray) tray->hide();
                                hotKey.reset();
                            },
                            [&] { model.engine().stopAndWait(); },
                            [] { QCoreApplication::quit(); },
                            [&](std::function<void()> stopped) {
                                model.engine().stopThen(std::move(stopped));
                            },
                            [&] { model.engine().stopAndWait(std::chrono::milliseconds(0)); },
                        });

    quitPath = &quit;
    engine = &model.engine();

    const auto openEditor = [&] {
        if (!editor) {
            editor = new EditorWindow(model, main, pasteboard);
            auto* quitKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), editor);
            QObject::connect(quitKey, &QShortcut::activated, [&quit] { quit.request(); });
            QObject::connect(editor, &QObject::destroyed, [&] {
                if (quit.quitting() || (tray && tray->available()) || saidStillRunning) return;
                saidStillRunning = true;
                sayStillRunning(hotKey != nullptr);
            });
        }
        editor->host()->makeKeyAndOrderFront();
    };
    model.setOpenEditorAction(openEditor);

    TrayMenuModel::Services trayServices;
    trayServices.copy = [&pasteboard](const std::string& text) {
        pasteboard.clearAndSetString(QString::fromStdString(text));
    };
    trayServices.quit = [&quit] { quit.request(); };
    trayServices.inputDevices = [] { return AudioCapture::inputDevices(); };
    tray = std::make_unique<TrayItem>(model, std::move(trayServices));

    // A press that was on its way when quitting began must not bring the
    // window back; so must not the launch's own opening below.
    hotKey = GlobalHotKey::create([&main, &model, &quit] {
        main.post([&model, &quit] {
            if (!quit.quitting()) model.toggleWindow();
        });
    });
    const SingleInstance instance(instanceName, [&model, &quit] {
        if (!quit.quitting()) model.showWindow();
    });

    // The window opens at launch; once the loop runs, it is brought forward
    // through the model as every later opening is.
    openEditor();
    main.post([&model, &quit] {
        if (quit.quitting()) return;
        if (const auto& open = model.openEditorAction()) open();
    });

    if (quitEarly) {
        sayWhenDraining(model.engine());
        quit.request();
    }
    const int status = QApplication::exec();
    quitPath = nullptr;
    // However the loop ended, listening stops before the model goes, and the
    // texts it posted on the way are stored.
    quit.stopEngineIfNeeded();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    hotKey.reset();
    tray.reset();
    delete editor;
    return status;
}

}  // namespace verbolin
