#pragma once
// The desktop application: one editor window, the tray item, the global hot
// key, one running instance per data folder, and one quit path for every way
// of quitting. Closing the window leaves the application running; the hot
// key, the tray menu or launching verbolin again bring the window back.

#include <cstdint>
#include <optional>
#include <string>

namespace verbolin {

// The fewest open files the window is started with. It was seen to need 36
// (the X display, the session bus, the audio server, the transcript and its
// journals, GLib's wakeups, and one for a later launch asking it to show);
// with fewer it aborts inside GLib, waits for ever on the X server, or runs
// without listening. The rest is room for what a desktop adds: input
// methods, accessibility, portals, a model download.
inline constexpr std::uint64_t kOpenFilesNeeded = 64;

// The one line to say when a limit of `limit` open files leaves the window
// too few; none when it is enough.
std::optional<std::string> openFilesShortfall(std::uint64_t limit);

// Runs the application until it quits; returns the process's exit status.
int runApplication(int argc, char** argv);

}  // namespace verbolin
