#pragma once
// An advisory lock named by a file, taken with flock(2). The lock belongs to
// the open file, not to the process: two FileLocks on one path exclude each
// other whether they live in two processes or in two threads of one. The
// kernel drops it when the holder closes it or dies, so a process killed
// while holding it never blocks the next one.
//
// The file is only a name to lock by. Its holder may remove it on letting
// go (unlockAndRemove): a waiter that then gets the lock of the removed file
// sees that the path names another file, or none, and locks that instead,
// so two holders never meet. A lock file left behind (a process killed while
// holding it) is simply locked again.
//
// One FileLock is used by one thread at a time.

#include <filesystem>

namespace platform {

class FileLock {
  public:
    // Opens `path`, creating an empty file there when there is none. A link
    // or anything but a regular file in its place is refused. Throws
    // std::filesystem::filesystem_error.
    explicit FileLock(std::filesystem::path path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock unless another FileLock holds it; true when it is held
    // now. Never waits. Throws std::filesystem::filesystem_error when the
    // file system cannot lock at all.
    bool tryLock();
    // Lets it go; nothing when not held.
    void unlock() noexcept;
    // Removes the file and lets the lock go, leaving nothing behind when no
    // one else wants it; nothing when not held.
    void unlockAndRemove() noexcept;

    bool held() const { return held_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    void open();
    // Whether the path still names the file held open.
    bool stillNamed() const;

    std::filesystem::path path_;
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace platform
