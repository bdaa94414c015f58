#pragma once
// One running application per user and data folder. The first launch
// listens on a local socket; a later launch finds it, asks it to show its
// window, and ends. Main thread only.

#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>

class QLocalServer;

namespace verbolin {

class SingleInstance final : public QObject {
    Q_OBJECT
  public:
    // The socket name for this user and data folder.
    static QString serverName(const std::filesystem::path& dataFolder);

    // Asks a running instance to show its window; true when one answered.
    static bool askRunningToShow(const QString& name);

    // Listens as the running instance; `onShowRequest` runs for every later
    // launch. For the holder of the instance lock: a socket left behind by a
    // crashed run is replaced; a live instance's is kept, even one too busy
    // to answer, and this one then does not listen.
    SingleInstance(const QString& name, std::function<void()> onShowRequest);
    ~SingleInstance() override;

    bool listening() const;

  private:
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> onShowRequest_;
};

}  // namespace verbolin
