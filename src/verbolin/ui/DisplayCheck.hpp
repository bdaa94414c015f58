#pragma once
// Whether the window can open, decided before the QApplication exists: Qt
// ends the process with an abort and a message about reinstalling when no
// platform it tries can start, so what is missing is found and said here.

#include <optional>
#include <string>

namespace verbolin::DisplayCheck {

struct Outcome {
    // Why no window can open: said to the user, and the run ends.
    std::optional<std::string> missing;
    // The Qt platform to ask for, where Qt's own choice would fail: "xcb"
    // on an X display inside a Wayland session Qt cannot serve, "wayland"
    // on a Wayland display without a usable X one.
    std::optional<std::string> platform;
};

// From DISPLAY, WAYLAND_DISPLAY (under XDG_RUNTIME_DIR) and the platform
// plugins this Qt finds. A platform chosen in QT_QPA_PLATFORM is left to Qt.
Outcome check();

// Whether one of Qt's plugin folders holds a Wayland platform plugin.
bool hasWaylandPlugin();

}  // namespace verbolin::DisplayCheck
