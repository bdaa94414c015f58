#pragma once
// What a run keeps for a while in the temporary folder, which every user
// shares: a folder or file of this user's that the run holds locked with
// flock(2) while it uses it, and removes when done. A run killed before it
// could remove it leaves one that no one holds; a later run finds it and
// removes it (removeUnheldTemporaries). The lock tells the two apart, and
// the kernel drops it with its holder, by a crash too.
//
// An entry is held only once it is open, locked, this user's, and its name
// names the very entry open (device and inode): between making an entry and
// locking it, another run of this user's may remove it as a leftover, and
// another user may then make one under the same name, which must never be
// written to. A held entry is worked with through its descriptor.
//
// One HeldTemporary is used by one thread at a time.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/OpenFd.hpp"

namespace platform {

class HeldTemporary {
  public:
    enum class Kind { folder, file };

    // Opens `path`, never through a link, and holds it. None when nothing
    // of that kind is there, when another holds it, or when it is not this
    // user's. Throws std::filesystem::filesystem_error when it cannot be
    // opened, or the file system cannot lock.
    static std::optional<HeldTemporary> open(const std::filesystem::path& path, Kind kind);
    // Makes an empty file (mode 0600) at `path` and holds it. None when
    // something is there already, or it went before it could be held;
    // throws as open() does.
    static std::optional<HeldTemporary> create(const std::filesystem::path& path);

    // Removes it, a folder with everything in it, while still holding it,
    // and only while its name still names it; then lets it go.
    ~HeldTemporary();
    HeldTemporary(HeldTemporary&& other) noexcept = default;
    HeldTemporary& operator=(HeldTemporary&& other) = delete;
    HeldTemporary(const HeldTemporary&) = delete;
    HeldTemporary& operator=(const HeldTemporary&) = delete;

    int fd() const { return fd_.get(); }
    const std::filesystem::path& path() const { return path_; }

    // Gives it the name `to`, on the same file system, where nothing may
    // stand yet; it stays held. Throws std::filesystem::filesystem_error
    // (EXDEV across file systems, EEXIST, ...).
    void moveTo(const std::filesystem::path& to);
    // Gives it the name `to`, as moveTo does, and lets it go there without
    // removing it: for what is to outlive the run. Throws as moveTo does,
    // and stays held then.
    void keepAt(const std::filesystem::path& to);

  private:
    // Holds what `fd` has open under the name `path`: locks it, then checks
    // that it is of this kind and this user's, and that `path` still names it.
    static std::optional<HeldTemporary> hold(OpenFd fd, std::filesystem::path path, Kind kind);
    HeldTemporary(OpenFd fd, std::filesystem::path path, bool folder)
        : fd_(std::move(fd)), path_(std::move(path)), folder_(folder) {}

    OpenFd fd_;
    std::filesystem::path path_;
    bool folder_ = false;
};

// What a kind of leftover is called, and how it is told by its name.
struct TemporaryLeftovers {
    std::function<bool(std::string_view name)> named;
    HeldTemporary::Kind kind;
    std::string one;   // "a copy of the transcript"
    std::string many;  // "copies of the transcript"
};

// Removes the leftovers of that kind in the temporary folder: this user's,
// that no one holds. The lock is taken before anything goes, and kept until
// it is gone. Links are not followed, another user's are left alone, and so
// is anything of another kind under such a name. Returns what could not be
// removed, one text each.
std::vector<std::string> removeUnheldTemporaries(const TemporaryLeftovers& leftovers);

}  // namespace platform
