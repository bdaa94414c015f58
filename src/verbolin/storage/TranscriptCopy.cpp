#include "verbolin/storage/TranscriptCopy.hpp"

#include <fcntl.h>
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

#include "platform/system/HeldTemporary.hpp"
#include "platform/system/OpenFd.hpp"
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

[[noreturn]] void failCopy(const fs::path& from, const fs::path& to, int error) {
    throw fs::filesystem_error("cannot copy", from, to,
                               std::error_code(error, std::generic_category()));
}

// Removes `to`, by its name in the open `folder`, when it is there.
void removeIn(int folder, const fs::path& to) {
    if (::unlinkat(folder, to.filename().c_str(), 0) != 0 && errno != ENOENT)
        throw fs::filesystem_error("cannot remove", to,
                                   std::error_code(errno, std::generic_category()));
}

// Copies `from` to `to`'s name in the open `folder`, where nothing may be
// yet: through the folder's descriptor, so into the folder this run holds
// whatever its name names by now. std::filesystem::copy_file reports a
// write that ran out of room as an input/output error; this keeps the
// system's own reason.
void copyFile(const fs::path& from, int folder, const fs::path& to) {
    const std::string name = to.filename().string();
    platform::OpenFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) failCopy(from, to, errno);
    platform::OpenFd out(
        ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) failCopy(from, to, errno);
    if (const int error = platform::copyAll(in.get(), out.get())) failCopy(from, to, error);
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

// Whether the folder made as `made`, that could not be held, was replaced:
// something else stands under its name (a link, a file, another user's
// folder). Else it was removed, or is being removed by the run that holds
// it, which removes leftovers.
bool replaced(const std::string& made) {
    struct stat st {};
    return ::lstat(made.c_str(), &st) == 0 && (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid());
}

}  // namespace

void TranscriptCopy::makeFolder() {
    const std::string name = std::string(kFolderPrefix) + std::string(kFolderPattern);
    int replacedOnes = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string made = (platform::temporaryDirectory() / name).string();
        if (!::mkdtemp(made.data()))
            throw std::runtime_error("cannot make " + made + " to copy it into (" +
                                     std::strerror(errno) + ")");
        try {
            // Not held: a run removing leftovers took it first, and removes
            // it, or removed it and something else stands there now.
            auto held = platform::HeldTemporary::open(made, platform::HeldTemporary::Kind::folder);
            if (held) {
                folder_ = std::make_unique<platform::HeldTemporary>(std::move(*held));
                return;
            }
            if (replaced(made)) ++replacedOnes;
        } catch (const fs::filesystem_error& e) {
            throw std::runtime_error("cannot lock " + made + " to copy into it (" +
                                     e.code().message() + ")");
        }
    }
    const char* what = replacedOnes == kAttempts ? "replaced at once by something else"
                       : replacedOnes            ? "removed or replaced at once"
                                                 : "removed at once";
    throw std::runtime_error("cannot keep a folder in " + platform::temporaryDirectory().string() +
                             " to copy into: each one made was " + what);
}

TranscriptCopy::TranscriptCopy(const fs::path& file) {
    makeFolder();
    const fs::path folder = folder_->path();
    file_ = folder / file.filename();
    try {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const auto before = state(file);
            for (const char* suffix : {"", kJournals[0], kJournals[1]}) {
                const fs::path from = file.string() + suffix, to = file_.string() + suffix;
                removeIn(folder_->fd(), to);
                if (*suffix == '\0' || fs::exists(from)) copyFile(from, folder_->fd(), to);
            }
            if (state(file) == before) return;
        }
        throw std::runtime_error(file.string() + " kept changing while it was copied");
    } catch (const std::exception& e) {
        folder_.reset();
        const auto* failed = dynamic_cast<const fs::filesystem_error*>(&e);
        if (!failed) throw;
        throw std::runtime_error("cannot copy " + failed->path1().string() + " to " +
                                 folder.string() + " (" + failed->code().message() + ")");
    }
}

// Locked until it is gone: the held folder removes itself first.
TranscriptCopy::~TranscriptCopy() = default;

std::vector<std::string> TranscriptCopy::removeLeftovers() {
    return platform::removeUnheldTemporaries(
        {isCopyFolderName, platform::HeldTemporary::Kind::folder, "a copy of the transcript",
         "copies of the transcript"});
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
