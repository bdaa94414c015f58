#pragma once
// The one way the application ends, whatever asked for it (the tray's
// "Quit Verbolin", Ctrl+Q, SIGTERM or SIGINT, the session ending): the
// windows, tray item and hot key go at once, then listening stops and the
// last utterance's text is stored, and only then does the event loop end.
// The loop keeps running while the engine stops, so the application stays
// responsive through a long last decode. Main thread only.

#include <chrono>
#include <functional>

#include "platform/system/MainExecutor.hpp"

namespace verbolin {

class QuitPath {
  public:
    struct Steps {
        std::function<void()> withdraw;    // hide everything the user can see
        std::function<void()> stopEngine;  // returns once listening has stopped
        std::function<void()> finish;      // ends the event loop
        // Stops listening without holding the main thread: returns at once
        // and runs its argument on the main thread once the last texts are
        // stored. Empty: quitting calls stopEngine.
        std::function<void(std::function<void()> stopped)> stopEngineThen;
        // Stops listening at once, blocking briefly: what is still being
        // transcribed is given up and its audio kept. Empty: stopNow() waits
        // for the stop as request() does.
        std::function<void()> stopEngineNow = {};
    };

    // How long the windows get to disappear from the screen before the
    // engine stops: the window system only hears of a hidden window once
    // the loop has run on, and a blocking stop holds the loop.
    static constexpr std::chrono::milliseconds kWithdrawDelay{50};

    // `main` must outlive the path.
    QuitPath(platform::MainExecutor& main, Steps steps) : main_(main), steps_(std::move(steps)) {}

    // Starts quitting; a request while quitting changes nothing. Returns at
    // once: the steps after withdrawing run on later turns of the main loop,
    // so the event that asked (a menu choice, a key) finishes first.
    void request();

    // For a user who asks again while quitting (a second Ctrl+C): a stop
    // still under way is cut short with stopEngineNow and the loop ends at
    // once. Before quitting it is request().
    void stopNow();

    bool quitting() const { return quitting_; }
    // Whether the engine has been stopped by this path.
    bool engineStopped() const { return engineStopped_; }

    // For an event loop that ended some other way: stops the engine if the
    // path has not, so every ending waits for it. A stop the path began
    // without blocking is finished here, blocking.
    void stopEngineIfNeeded();

  private:
    // Runs the finish step, once.
    void end();

    platform::MainExecutor& main_;
    Steps steps_;
    bool quitting_ = false;
    bool engineStopped_ = false;
    bool ended_ = false;
};

}  // namespace verbolin
