#pragma once
// SIGTERM, SIGINT and SIGHUP (unless it was ignored at start) as a
// main-thread call. The handler only writes a byte to a pipe (any thread may
// take the signal); a socket notifier on the Qt event loop reads it and calls
// `onSignal`. The previous handlers come back when the object goes away. One
// at a time per process.

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace verbolin {

class QuitSignals final : public QObject {
    Q_OBJECT
  public:
    explicit QuitSignals(std::function<void(int signal)> onSignal);
    ~QuitSignals() override;

    bool installed() const { return notifier_ != nullptr; }

  private:
    void readSignals();

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace verbolin
