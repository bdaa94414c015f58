#include "verbolin/ui/DisplayCheck.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <cstdlib>
#include <cstring>

// Last: Xlib defines macros that clash with names in the headers above.
#include <X11/Xlib.h>

namespace verbolin::DisplayCheck {
namespace {

const char* setting(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

bool xDisplayAnswers(const char* name) {
    ::Display* open = XOpenDisplay(name);
    if (!open) return false;
    XCloseDisplay(open);
    return true;
}

// Why the compositor named by WAYLAND_DISPLAY cannot be reached, found the
// way its client library looks: an absolute name is the socket itself,
// another one lives in XDG_RUNTIME_DIR.
std::optional<std::string> waylandProblem(const std::string& name) {
    const char* runtime = setting("XDG_RUNTIME_DIR");
    if (name.front() != '/' && !runtime)
        return "the Wayland display \"" + name + "\" cannot be found: XDG_RUNTIME_DIR is not set";
    const std::string path = name.front() == '/' ? name : std::string(runtime) + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return "the Wayland socket path \"" + path + "\" is too long";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "no socket could be made for the Wayland display";
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    if (answers) return std::nullopt;
    return "the Wayland display \"" + name + "\" named by WAYLAND_DISPLAY cannot be opened";
}

}  // namespace

bool hasWaylandPlugin() {
    // Where Qt itself looks: QT_QPA_PLATFORM_PLUGIN_PATH, then the
    // "platforms" folder of each library path (QT_PLUGIN_PATH and Qt's own).
    QStringList folders;
    if (const char* chosen = setting("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders << QString::fromLocal8Bit(chosen);
    for (const QString& path : QCoreApplication::libraryPaths()) folders << path + "/platforms";
    for (const QString& folder : folders)
        if (!QDir(folder).entryList({QStringLiteral("libqwayland*.so")}, QDir::Files).isEmpty())
            return true;
    return false;
}

Outcome check() {
    if (setting("QT_QPA_PLATFORM")) return {};
    const char* x = setting("DISPLAY");
    const char* wayland = setting("WAYLAND_DISPLAY");
    const bool xAnswers = x && xDisplayAnswers(x);
    std::optional<std::string> waylandWhy;
    if (wayland)
        waylandWhy = hasWaylandPlugin()
                         ? waylandProblem(wayland)
                         : "this Qt cannot use the Wayland display \"" + std::string(wayland) +
                               "\" without its Wayland platform plugin, Debian's "
                               "package qt6-wayland";
    if (xAnswers)
        // Qt picks Wayland on its own in a Wayland session; where that would
        // fail, the X display that answers is used instead.
        return {std::nullopt,
                wayland && waylandWhy ? std::optional<std::string>("xcb") : std::nullopt};
    if (wayland && !waylandWhy) return {std::nullopt, "wayland"};
    std::string why = x ? "the display \"" + std::string(x) + "\" named by DISPLAY cannot be opened"
                        : std::string("DISPLAY is not set");
    if (waylandWhy) why += ", and " + *waylandWhy;
    return {why, std::nullopt};
}

}  // namespace verbolin::DisplayCheck
