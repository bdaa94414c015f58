#pragma once
// SIGTERM, SIGINT and SIGHUP (unless it was ignored at start) as a
// main-thread call. The handler only writes a byte to a pipe (any thread may
// take the signal); a socket notifier on the Qt event loop reads it and calls
// `onSignal`. The previous handlers come back when the object goes away. One
// at a time per process.
//
// A main thread that never turns its loop again (a layout that does not
// end) would leave a signal unanswered for good: a watcher thread that sees
// a signal waiting unread for `unanswered` says so and ends the process as
// the signal would have without a handler. Everything stored survives that
// as it survives kill -9.

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class QSocketNotifier;

namespace verbolin {

class QuitSignals final : public QObject {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds kUnanswered{10'000};

    explicit QuitSignals(std::function<void(int signal)> onSignal,
                         std::chrono::milliseconds unanswered = kUnanswered);
    ~QuitSignals() override;

    bool installed() const { return notifier_ != nullptr; }

  private:
    void readSignals();
    static void watch(const std::stop_token& stop, std::chrono::milliseconds unanswered);

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::jthread watcher_;
};

}  // namespace verbolin
