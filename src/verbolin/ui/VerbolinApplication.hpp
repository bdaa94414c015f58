#pragma once
// The desktop application: one editor window, the tray item, the global hot
// key, one running instance per data folder, and one quit path for every way
// of quitting. Closing the window leaves the application running; the hot
// key, the tray menu or launching verbolin again bring the window back.

namespace verbolin {

// Runs the application until it quits; returns the process's exit status.
int runApplication(int argc, char** argv);

}  // namespace verbolin
