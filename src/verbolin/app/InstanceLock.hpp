#pragma once
// One process running per data folder. Two would both capture the microphone
// and store every utterance twice, at the same start time; so the window
// application and `verbolin --listen` both hold this lock while they run,
// and whichever starts second is refused. The lock is on the data folder
// itself, so every process using the folder meets it whatever its
// environment (another $XDG_RUNTIME_DIR or $TMPDIR) and however it names
// the folder; it writes nothing there, so a read-only folder is guarded
// too. The kernel drops it when the holder ends, even by a crash.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/FolderLock.hpp"

namespace verbolin {

class InstanceLock {
  public:
    // Tries to take the lock for `dataFolder`, making the folder (private to
    // the user) when it is not there. `formerFolder` is one that a first
    // start moves into the data folder's place (an older application's
    // folder): while the data folder is not there but it is, it is locked
    // instead, since a move keeps the folder and so its lock. A folder that
    // cannot be made or locked leaves the run unguarded rather than
    // refused: problem() says why.
    explicit InstanceLock(const std::filesystem::path& dataFolder,
                          const std::optional<std::filesystem::path>& formerFolder = std::nullopt);

    // The lock for the standard data folder, $XDG_DATA_HOME/Verbolin, which
    // takes over an "Echovane" folder beside it.
    static InstanceLock forStandardFolder();

    // False when another process holds it.
    bool held() const { return !refused_; }
    // What to say when refused: that Verbolin is already running for this
    // data folder, and in which process when that can be told.
    std::string refusal() const;
    // Why the guard could not be set up, when it could not.
    const std::optional<std::string>& problem() const { return problem_; }

    // The process holding the lock for `dataFolder`; none when no one does
    // or it cannot be told.
    static std::optional<pid_t> holder(const std::filesystem::path& dataFolder);

  private:
    // The folder to lock: the data folder, made when missing, or the former
    // one in its stead.
    std::filesystem::path folderToLock(const std::optional<std::filesystem::path>& formerFolder);

    std::filesystem::path dataFolder_;
    std::unique_ptr<platform::FolderLock> lock_;
    bool refused_ = false;
    std::optional<pid_t> refusedBy_;
    std::optional<std::string> problem_;
};

}  // namespace verbolin
