#include "verbolin/storage/TranscriptCopy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/system/Paths.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kJournals[] = {"-wal", "-journal"};
// SQLite's lock bytes: the shared range follows the pending byte at 1 GiB.
constexpr off_t kSharedFirst = 0x40000000 + 2;
constexpr off_t kSharedSize = 510;
constexpr int kAttempts = 3;

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

TranscriptCopy::TranscriptCopy(const fs::path& file) {
    std::string pattern = (platform::temporaryDirectory() / "verbolin-status-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make " + pattern + " to copy it into (" +
                                 std::strerror(errno) + ")");
    folder_ = pattern;
    file_ = folder_ / file.filename();
    try {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const auto before = state(file);
            for (const char* suffix : {"", kJournals[0], kJournals[1]}) {
                const fs::path from = file.string() + suffix, to = file_.string() + suffix;
                fs::remove(to);
                if (*suffix == '\0' || fs::exists(from))
                    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
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
    std::error_code ec;
    fs::remove_all(folder_, ec);
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
