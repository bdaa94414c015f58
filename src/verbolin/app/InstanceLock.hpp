#pragma once
// One process listening per user and data folder. Two would both capture the
// microphone and store every utterance twice, at the same start time; so the
// window application and `verbolin --listen` both hold this lock while they
// run, and whichever starts second is refused. The lock is a file in the
// user's runtime folder ($XDG_RUNTIME_DIR, else the temporary folder) named
// after the data folder, and holds the holder's process id for the message.
// The kernel drops it when the holder ends, even by a crash.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/FileLock.hpp"

namespace verbolin {

class InstanceLock {
  public:
    // The lock file for `dataFolder`.
    static std::filesystem::path lockFile(const std::filesystem::path& dataFolder);

    // Tries to take the lock for `dataFolder`. A lock file that cannot be
    // made at all (a runtime folder that cannot be written) leaves the run
    // unguarded rather than refused: problem() says why.
    explicit InstanceLock(const std::filesystem::path& dataFolder);

    // False when another process holds it.
    bool held() const { return !refusedBy_; }
    // What to say when refused: that Verbolin is already listening for this
    // data folder, and by which process when known.
    std::string refusal() const;
    // Why the guard could not be set up, when it could not.
    const std::optional<std::string>& problem() const { return problem_; }

  private:
    std::filesystem::path dataFolder_;
    std::unique_ptr<platform::FileLock> lock_;
    std::optional<std::string> refusedBy_;  // the holder's process id, or empty
    std::optional<std::string> problem_;
};

}  // namespace verbolin
