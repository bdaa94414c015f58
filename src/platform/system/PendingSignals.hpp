#pragma once
// The signals that ask the process to quit (SIGINT, SIGTERM, and SIGHUP
// unless it was ignored at start, as under nohup), caught from the first
// line of main on. Loading and starting the libraries, and opening a
// display, take long enough that a service manager or a user's `kill` may
// come first; the default action would then end the process by the signal,
// never through its quit path. Until a watcher of the event loop installs
// its own handler, the signals are only counted; that watcher takes the
// count and acts on each as if it had come just then.

namespace platform::PendingSignals {

// Installs the counting handler for the three signals and unblocks them
// (a launcher may pass them on blocked). Call once, first thing in main.
void catchFromNow();

// How many times `signal` arrived while only counted, since the last take;
// the count starts again at zero. Async-signal-safe counting, any thread.
int take(int signal);

}  // namespace platform::PendingSignals
