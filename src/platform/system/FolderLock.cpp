#include "platform/system/FolderLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

namespace platform {
namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(error, std::generic_category()));
}

// `text` as a whole number in `base`, nothing else in it.
template <typename Number>
bool readNumber(std::string_view text, int base, Number& number) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, number, base);
    return !text.empty() && error == std::errc() && at == end;
}

// Whether `field` ("fe:00:10961508") names that file: the device's major
// and minor numbers in hex, the inode in decimal.
bool namesFile(std::string_view field, unsigned major, unsigned minor, unsigned long long inode) {
    const auto first = field.find(':');
    const auto second = first == std::string_view::npos ? first : field.find(':', first + 1);
    if (second == std::string_view::npos) return false;
    unsigned fieldMajor = 0, fieldMinor = 0;
    unsigned long long fieldInode = 0;
    return readNumber(field.substr(0, first), 16, fieldMajor) &&
           readNumber(field.substr(first + 1, second - first - 1), 16, fieldMinor) &&
           readNumber(field.substr(second + 1), 10, fieldInode) && fieldMajor == major &&
           fieldMinor == minor && fieldInode == inode;
}

}  // namespace

FolderLock::FolderLock(std::filesystem::path folder) : path_(std::move(folder)) {
    // Read-only: a folder that cannot be written is locked all the same.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) fail("cannot open the folder to lock it", path_, errno);
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // drops the lock with the folder
}

bool FolderLock::tryLock() {
    if (held_) return true;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return held_ = true;
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) fail("cannot lock", path_, errno);
    }
}

std::optional<pid_t> FolderLock::holder(const std::filesystem::path& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::nullopt;
    std::ifstream in("/proc/locks");
    const std::string table{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return flockHolderIn(table, ::major(st.st_dev), ::minor(st.st_dev), st.st_ino);
}

std::optional<pid_t> flockHolderIn(std::string_view table, unsigned major, unsigned minor,
                                   unsigned long long inode) {
    std::istringstream lines{std::string(table)};
    for (std::string line; std::getline(lines, line);) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10961508 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, file;
        if (!(fields >> number >> kind >> mode >> access >> pid >> file)) continue;
        if (number.empty() || number.back() != ':' || kind != "FLOCK") continue;
        pid_t id = 0;
        if (!readNumber(pid, 10, id) || id <= 0) continue;
        if (namesFile(file, major, minor, inode)) return id;
    }
    return std::nullopt;
}

}  // namespace platform
