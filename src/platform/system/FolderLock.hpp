#pragma once
// An advisory lock on a folder itself, taken with flock(2) on the folder
// opened for reading. Every process that uses the folder finds the same lock
// however it names the folder (a link, "..", another environment), and it
// needs no file in the folder, so a read-only folder can be locked too. As
// with FileLock, the lock belongs to the open folder: two FolderLocks on one
// folder exclude each other in one process as in two, and the kernel drops
// the lock when its holder ends, by a crash too.
//
// One FolderLock is used by one thread at a time.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

namespace platform {

class FolderLock {
  public:
    // Opens `folder`, following links. Throws std::filesystem::filesystem_error
    // when it is not there, is no folder, or cannot be opened.
    explicit FolderLock(std::filesystem::path folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock unless another FolderLock holds it; true when it is
    // held now. Never waits. Throws std::filesystem::filesystem_error when
    // the file system cannot lock at all.
    bool tryLock();
    bool held() const { return held_; }
    const std::filesystem::path& path() const { return path_; }

    // The process holding a lock on `folder`, as the kernel's lock table
    // (/proc/locks) tells; none when no one does, or it cannot be told (the
    // holder in another PID namespace, no /proc).
    static std::optional<pid_t> holder(const std::filesystem::path& folder);

  private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool held_ = false;
};

// The process holding a whole-file flock(2) lock on the file `inode` of the
// device `major`:`minor`, found in `table` as /proc/locks lays it out; none
// when no line names it. Lines of waiters ("->") and of other kinds of lock
// do not count, nor lines that do not read as the kernel writes them.
std::optional<pid_t> flockHolderIn(std::string_view table, unsigned major, unsigned minor,
                                   unsigned long long inode);

}  // namespace platform
