#include "verbolin/storage/TranscriptCopy.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/system/FolderLock.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/WriteAll.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kJournals[] = {"-wal", "-journal"};
// SQLite's lock bytes: the shared range follows the pending byte at 1 GiB.
constexpr off_t kSharedFirst = 0x40000000 + 2;
constexpr off_t kSharedSize = 510;
constexpr int kAttempts = 3;
constexpr std::string_view kFolderPrefix = "verbolin-status-";
constexpr std::string_view kFolderPattern = "XXXXXX";

class OpenFd {
  public:
    explicit OpenFd(int fd) : fd_(fd) {}
    ~OpenFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenFd(const OpenFd&) = delete;
    OpenFd& operator=(const OpenFd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes it, returning the errno of a close that failed, else 0.
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

[[noreturn]] void failCopy(const fs::path& from, const fs::path& to, int error) {
    throw fs::filesystem_error("cannot copy", from, to,
                               std::error_code(error, std::generic_category()));
}

// std::filesystem::copy_file reports a write that ran out of room as an
// input/output error; this keeps the system's own reason.
void copyFile(const fs::path& from, const fs::path& to) {
    OpenFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) failCopy(from, to, errno);
    OpenFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out) failCopy(from, to, errno);
    std::vector<char> buffer(1 << 18);
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failCopy(from, to, errno);
        if (n == 0) break;
        if (const int error = platform::writeAll(out.get(), buffer.data(), size_t(n)))
            failCopy(from, to, error);
    }
    // Some file systems say only here that the bytes found no room.
    if (const int error = out.close()) failCopy(from, to, error);
}

bool isCopyFolderName(std::string_view name) {
    if (!name.starts_with(kFolderPrefix)) return false;
    name.remove_prefix(kFolderPrefix.size());
    return name.size() == kFolderPattern.size() &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
           });
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

std::string cannotRemove(const fs::path& path, int error) {
    return "cannot remove " + path.string() + ", a copy of the transcript left by a run that " +
           "was stopped (" + std::strerror(error) + ")";
}

// Empties the open folder, `shown` by that name. A link is removed, never
// what it names. False, with the reasons added, when something stays.
bool emptyFolder(int folder, const fs::path& shown, std::vector<std::string>& problems) {
    std::vector<std::string> names;
    if (const int error = namesIn(folder, names)) {
        problems.push_back(cannotRemove(shown, error));
        return false;
    }
    bool emptied = true;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            problems.push_back(cannotRemove(shown / name, errno));
            emptied = false;
            continue;
        }
        const bool isFolder = S_ISDIR(st.st_mode);
        if (isFolder) {
            OpenFd inner(
                ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inner) problems.push_back(cannotRemove(shown / name, errno));
            if (!inner || !emptyFolder(inner.get(), shown / name, problems)) {
                emptied = false;
                continue;
            }
        }
        if (::unlinkat(folder, name.c_str(), isFolder ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
            problems.push_back(cannotRemove(shown / name, errno));
            emptied = false;
        }
    }
    return emptied;
}

// Removes `name` in the open temporary folder when it is a folder of this
// user's that no copy holds: the lock is taken before anything in it goes,
// and kept until the folder is gone.
void removeLeftover(int temporary, const std::string& name, const fs::path& shown,
                    std::vector<std::string>& problems) {
    struct stat st {};
    if (::fstatat(temporary, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid())
        return;
    OpenFd folder(
        ::openat(temporary, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR)
            problems.push_back(cannotRemove(shown, errno));
        return;
    }
    // What was opened, not what the name showed a moment before.
    if (::fstat(folder.get(), &st) != 0 || st.st_uid != ::geteuid()) return;
    while (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) problems.push_back(cannotRemove(shown, errno));
        return;  // held: a copy in use
    }
    if (!emptyFolder(folder.get(), shown, problems)) return;
    if (::unlinkat(temporary, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        problems.push_back(cannotRemove(shown, errno));
}

// Size and change time of the file and its journals: a copy is whole when
// they are the same before and after it.
std::vector<std::string> state(const fs::path& file) {
    std::vector<std::string> out;
    for (const char* suffix : {"", kJournals[0], kJournals[1]}) {
        struct stat st {};
        if (::stat((file.string() + suffix).c_str(), &st) != 0) {
            out.push_back("none");
            continue;
        }
        out.push_back(std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                      std::to_string(st.st_mtim.tv_nsec));
    }
    return out;
}

}  // namespace

void TranscriptCopy::makeFolder() {
    const std::string name = std::string(kFolderPrefix) + std::string(kFolderPattern);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string made = (platform::temporaryDirectory() / name).string();
        if (!::mkdtemp(made.data()))
            throw std::runtime_error("cannot make " + made + " to copy it into (" +
                                     std::strerror(errno) + ")");
        try {
            auto lock = std::make_unique<platform::FolderLock>(made);
            // Not locked, or no longer there: a run removing leftovers took
            // it first, and removes it. Names are not made twice, so the
            // folder still there is the one locked.
            struct stat st {};
            if (lock->tryLock() && ::lstat(made.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                lock_ = std::move(lock);
                folder_ = made;
                return;
            }
        } catch (const fs::filesystem_error& e) {
            if (e.code() != std::errc::no_such_file_or_directory)
                throw std::runtime_error("cannot lock " + made + " to copy into it (" +
                                         e.code().message() + ")");
        }
    }
    throw std::runtime_error("cannot keep a folder in " + platform::temporaryDirectory().string() +
                             " to copy into: each one made was removed at once");
}

TranscriptCopy::TranscriptCopy(const fs::path& file) {
    makeFolder();
    file_ = folder_ / file.filename();
    try {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const auto before = state(file);
            for (const char* suffix : {"", kJournals[0], kJournals[1]}) {
                const fs::path from = file.string() + suffix, to = file_.string() + suffix;
                fs::remove(to);
                if (*suffix == '\0' || fs::exists(from)) copyFile(from, to);
            }
            if (state(file) == before) return;
        }
        throw std::runtime_error(file.string() + " kept changing while it was copied");
    } catch (const std::exception& e) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
        const auto* failed = dynamic_cast<const fs::filesystem_error*>(&e);
        if (!failed) throw;
        throw std::runtime_error("cannot copy " + failed->path1().string() + " to " +
                                 folder_.string() + " (" + failed->code().message() + ")");
    }
}

TranscriptCopy::~TranscriptCopy() {
    // Locked until it is gone: the lock goes with the members.
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

std::vector<std::string> TranscriptCopy::removeLeftovers() {
    std::vector<std::string> problems;
    const fs::path temporary = platform::temporaryDirectory();
    OpenFd folder(::open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> names;
    const int error = folder ? namesIn(folder.get(), names) : errno;
    if (error == ENOENT) return problems;  // no copy could have been made there either
    if (error) {
        problems.push_back("cannot look for copies of the transcript left in " +
                           temporary.string() + " by runs that were stopped (" +
                           std::strerror(error) + ")");
        return problems;
    }
    for (const std::string& name : names)
        if (isCopyFolderName(name)) removeLeftover(folder.get(), name, temporary / name, problems);
    return problems;
}

bool TranscriptCopy::hasJournal(const fs::path& file) {
    std::error_code ec;
    for (const char* suffix : kJournals) {
        const auto size = fs::file_size(file.string() + suffix, ec);
        if (!ec && size > 0) return true;
    }
    return false;
}

bool TranscriptCopy::openElsewhere(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kSharedFirst;
    lock.l_len = kSharedSize;
    const bool held = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

}  // namespace verbolin
