#include "platform/system/HeldTemporary.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/system/FileMove.hpp"
#include "platform/system/Paths.hpp"

namespace platform {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

bool sameEntry(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in the folder `at` names the entry `held` describes, not
// following a link.
bool stillNamed(int at, const char* name, const struct stat& held) {
    struct stat st {};
    return ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && sameEntry(st, held);
}

// Takes the lock: 0 once held, EWOULDBLOCK when another holds it, else the
// errno of a file system that cannot lock.
int lockNow(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int openFlags(HeldTemporary::Kind kind) {
    return O_RDONLY | O_NOFOLLOW | O_CLOEXEC |
           (kind == HeldTemporary::Kind::folder ? O_DIRECTORY : O_NONBLOCK);
}

bool isKind(const struct stat& st, HeldTemporary::Kind kind) {
    return kind == HeldTemporary::Kind::folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// The names in the open folder but "." and "..", or the errno of the failure.
int namesIn(int folder, std::vector<std::string>& names) {
    const int listed = ::dup(folder);  // closedir() closes what it reads
    DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!dir) {
        const int error = errno;
        if (listed >= 0) ::close(listed);
        return error;
    }
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return error;
}

// Told what could not be removed, and why.
using CannotRemove = std::function<void(const fs::path& path, int error)>;

// Empties the open folder, `shown` by that name. A link is removed, never
// what it names. False, with the reasons told, when something stays.
bool emptyFolder(int folder, const fs::path& shown, const CannotRemove& cannot) {
    std::vector<std::string> names;
    if (const int error = namesIn(folder, names)) {
        cannot(shown, error);
        return false;
    }
    bool emptied = true;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            cannot(shown / name, errno);
            emptied = false;
            continue;
        }
        const bool isFolder = S_ISDIR(st.st_mode);
        if (isFolder) {
            OpenFd inner(
                ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inner) cannot(shown / name, errno);
            if (!inner || !emptyFolder(inner.get(), shown / name, cannot)) {
                emptied = false;
                continue;
            }
        }
        if (::unlinkat(folder, name.c_str(), isFolder ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
            cannot(shown / name, errno);
            emptied = false;
        }
    }
    return emptied;
}

// Removes `name` in the open temporary folder when it is a leftover of
// this user's of that kind that no one holds.
void removeLeftover(int temporary, const std::string& name, const fs::path& shown,
                    HeldTemporary::Kind kind, const CannotRemove& cannot) {
    struct stat st {};
    if (::fstatat(temporary, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !isKind(st, kind) ||
        st.st_uid != ::geteuid())
        return;
    OpenFd entry(::openat(temporary, name.c_str(), openFlags(kind)));
    if (!entry) {
        if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) cannot(shown, errno);
        return;
    }
    // What was opened, not what the name showed a moment before.
    if (::fstat(entry.get(), &st) != 0 || !isKind(st, kind) || st.st_uid != ::geteuid()) return;
    if (const int error = lockNow(entry.get())) {
        if (error != EWOULDBLOCK) cannot(shown, error);
        return;  // held: in use
    }
    const bool folder = kind == HeldTemporary::Kind::folder;
    if (folder && !emptyFolder(entry.get(), shown, cannot)) return;
    // The name may have been given to another entry since it was opened.
    if (stillNamed(temporary, name.c_str(), st) &&
        ::unlinkat(temporary, name.c_str(), folder ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
        cannot(shown, errno);
}

}  // namespace

std::optional<HeldTemporary> HeldTemporary::hold(OpenFd fd, fs::path path, Kind kind) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail("cannot look at", path, errno);
    if (!isKind(st, kind) || st.st_uid != ::geteuid()) return std::nullopt;
    if (const int error = lockNow(fd.get())) {
        if (error == EWOULDBLOCK) return std::nullopt;
        fail("cannot lock", path, error);
    }
    // Locked, it stays where it is; but it may have been removed as a
    // leftover before, and the name given to another entry since.
    if (!stillNamed(AT_FDCWD, path.c_str(), st)) return std::nullopt;
    return HeldTemporary(std::move(fd), std::move(path), kind == Kind::folder);
}

std::optional<HeldTemporary> HeldTemporary::open(const fs::path& path, Kind kind) {
    OpenFd fd(::open(path.c_str(), openFlags(kind)));
    if (!fd) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return std::nullopt;
        fail("cannot open", path, errno);
    }
    return hold(std::move(fd), path, kind);
}

std::optional<HeldTemporary> HeldTemporary::create(const fs::path& path) {
    OpenFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        if (errno == EEXIST) return std::nullopt;
        fail("cannot create", path, errno);
    }
    return hold(std::move(fd), path, Kind::file);
}

HeldTemporary::~HeldTemporary() {
    if (!fd_) return;
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return;
    // What cannot be removed now is a leftover like any other: a later
    // run removes it.
    if (folder_ && !emptyFolder(fd_.get(), path_, [](const fs::path&, int) {})) return;
    if (stillNamed(AT_FDCWD, path_.c_str(), st))
        ::unlinkat(AT_FDCWD, path_.c_str(), folder_ ? AT_REMOVEDIR : 0);
}

void HeldTemporary::moveTo(const fs::path& to) {
    moveItem(path_, to);
    path_ = to;
}

void HeldTemporary::keepAt(const fs::path& to) {
    moveTo(to);
    fd_.close();  // nothing is left for the destructor to remove
}

std::vector<std::string> removeUnheldTemporaries(const TemporaryLeftovers& leftovers) {
    std::vector<std::string> problems;
    const fs::path temporary = temporaryDirectory();
    OpenFd folder(::open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> names;
    const int error = folder ? namesIn(folder.get(), names) : errno;
    if (error == ENOENT) return problems;  // none could have been made there either
    if (error) {
        problems.push_back("cannot look for " + leftovers.many + " left in " + temporary.string() +
                           " by runs that were stopped (" + std::strerror(error) + ")");
        return problems;
    }
    const CannotRemove cannot = [&](const fs::path& path, int why) {
        problems.push_back("cannot remove " + path.string() + ", " + leftovers.one +
                           " left by a run that was stopped (" + std::strerror(why) + ")");
    };
    for (const std::string& name : names)
        if (leftovers.named(name))
            removeLeftover(folder.get(), name, temporary / name, leftovers.kind, cannot);
    return problems;
}

}  // namespace platform
