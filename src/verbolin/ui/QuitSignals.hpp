#pragma once
// SIGTERM, SIGINT and SIGHUP (unless it was ignored at start) as a
// main-thread call. The handler only writes a byte to a pipe (any thread may
// take the signal); a socket notifier on the Qt event loop reads it and calls
// `onSignal`. The previous handlers come back when the object goes away. One
// at a time per process.
//
// A main thread that never turns its loop again (a layout that does not
// end) would leave a signal unanswered for good: while the loop runs (see
// runLoop), a watcher thread that sees a signal waiting unread for
// `unanswered` says so and ends the process as the signal would have without
// a handler. Everything stored survives that as it survives kill -9. The
// watch begins where the window starts (see watchFromHere), before its first
// show, which could hold the thread as a later layout could. Before that (a
// long start: the transcript read) a signal waits, for answerWaiting or the
// loop, and once the loop has returned (the teardown) the watcher leaves the
// process alone: the quit the signal asked for is under way.

#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QSocketNotifier;

namespace verbolin {

class QuitSignals final : public QObject {
    Q_OBJECT
  public:
    // Above the bound of the last decode's wait (10 s), which a quit may
    // block the loop for: its audio is written as that wait gives up.
    static constexpr std::chrono::milliseconds kUnanswered{15'000};

    explicit QuitSignals(std::function<void(int signal)> onSignal,
                         std::chrono::milliseconds unanswered = kUnanswered);
    ~QuitSignals() override;

    bool installed() const { return notifier_ != nullptr; }

    // Answers now, on the main thread, the signals that came before the
    // loop runs (the transcript read, the libraries started): a start can
    // then quit before it makes and shows a window for nothing.
    void answerWaiting() { readSignals(); }
    // From here on a signal left unread is the main thread's fault: the
    // window is being made and shown, and the loop follows at once.
    void watchFromHere();
    // Runs the event loop (`exec`), watching for unanswered signals from
    // just before it begins (or from watchFromHere) until it returns;
    // returns what `exec` returns.
    int runLoop(const std::function<int()>& exec);

    // The watcher's last step: the signal waiting at `fd`, taken from it; none
    // when the read fails, as it does when the loop has taken the byte since
    // the watcher looked (the loop answers, and the watcher goes on).
    static std::optional<int> takeWaiting(int fd);
    // Set by the handler itself as a signal comes (and for those counted
    // before it was installed): what a long start on the main thread
    // looks at, long before the loop can read the signal.
    static const std::atomic<bool>& arrived();

  private:
    void readSignals();
    static void watch(const std::stop_token& stop, std::chrono::milliseconds unanswered);

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::jthread watcher_;
};

}  // namespace verbolin
