#include "platform/system/AtomicWrite.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <system_error>

#include "platform/system/WriteAll.hpp"

namespace platform {
namespace {

constexpr size_t kRandomLetters = 6;
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int err) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(err, std::generic_category()));
}

bool isLetterOrDigit(char c) { return kAlphabet.find(c) != std::string_view::npos; }

// Whether `entry` is a temporary of the target named `name`.
bool isTemporaryOf(std::string_view entry, const std::string& name) {
    const size_t expected = name.size() + 1 + kRandomLetters + kTemporarySuffix.size();
    if (entry.size() != expected || entry.substr(0, name.size()) != name ||
        entry[name.size()] != '.' ||
        entry.substr(expected - kTemporarySuffix.size()) != kTemporarySuffix)
        return false;
    for (char c : entry.substr(name.size() + 1, kRandomLetters))
        if (!isLetterOrDigit(c)) return false;
    return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes temporaries of `name` in `folder` that no running write holds.
// Best effort: a leftover that cannot be removed never fails the write.
void removeStaleTemporaries(const std::filesystem::path& folder, const std::string& name) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTemporaryOf(entry->d_name, name)) continue;
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat held {};
        struct stat named {};
        // A writer holds its lock from creation until after its rename, so
        // an unlocked temporary belongs to a write that died. Checking that
        // the name still leads to the locked file keeps a file that was
        // renamed (or replaced) meanwhile.
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == ::geteuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(held, named)) {
            ::unlinkat(dirFd, entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

std::string randomLetters() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
    std::string letters;
    for (size_t i = 0; i < kRandomLetters; ++i) letters += kAlphabet[pick(generator)];
    return letters;
}

// Creates and locks a new temporary beside the target. Mode 0666 lets the
// umask (and a default ACL of the folder) decide, as for any new file.
int createTemporary(const std::filesystem::path& folder, const std::string& name,
                    std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = (folder / (name + "." + randomLetters() + std::string(kTemporarySuffix))).string();
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) fail("cannot create a temporary file", folder, errno);
        // Another write's clean-up may have taken the file between its
        // creation and the lock; then start over with a new one.
        struct stat held {};
        struct stat named {};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 &&
            ::lstat(path.c_str(), &named) == 0 && sameFile(held, named))
            return fd;
        ::close(fd);
    }
    fail("cannot create a temporary file", folder, EEXIST);
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& file, std::string_view data) {
    const auto folder =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    const std::string name = file.filename().string();
    removeStaleTemporaries(folder, name);
    std::string temporary;
    const int fd = createTemporary(folder, name, temporary);

    const char* what = nullptr;
    int err = writeAll(fd, data.data(), data.size());
    if (err != 0) what = "cannot write";
    if (!what && ::fsync(fd) != 0) err = errno, what = "cannot flush";
    // Renamed while still open and locked, so that no clean-up takes it first.
    if (!what && ::rename(temporary.c_str(), file.c_str()) != 0)
        err = errno, what = "cannot replace";
    if (what) ::unlink(temporary.c_str());
    // The data is already on disk; a close error cannot undo the rename.
    ::close(fd);
    if (what) fail(what, file, err);
    // Make the rename itself durable.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace platform
