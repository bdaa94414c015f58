#include "platform/system/OwnedFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why what `st` describes is not this user's alone; empty when it is. A
// folder must be closed to others entirely: one they can read lets them
// watch what waits in it, one they can write lets them replace it. A file
// others can read is no risk of its own (its folder decides who reaches
// it), but one they can write may hold their lines or take ours.
std::string whyNotOwned(const fs::path& path, const struct stat& st, bool folder) {
    if (folder && !S_ISDIR(st.st_mode)) return path.string() + " is not a folder";
    // A FIFO or a device could block or never end; only plain files hold text.
    if (!folder && !S_ISREG(st.st_mode)) return path.string() + " is not a regular file";
    if (st.st_uid != ::geteuid())
        return path.string() + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    // Another name for the file is a link by another means: whoever placed
    // it can read or change what we write through it.
    if (!folder && st.st_nlink > 1)
        return path.string() + " has other names (" + std::to_string(st.st_nlink) +
               " hard links), which are not followed";
    if (folder && (st.st_mode & (S_IRWXG | S_IRWXO)))
        return path.string() + " is open to other users (mode " + octal(st.st_mode) + ")";
    if (!folder && (st.st_mode & (S_IWGRP | S_IWOTH)))
        return path.string() + " can be written by other users (mode " + octal(st.st_mode) + ")";
    return "";
}

int openFlags(OwnedAccess access, bool folder) {
    // Non-blocking so that a FIFO planted under the name cannot hold the
    // open; the flag is cleared again once the file is known to be plain.
    const int common = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (folder) return common | O_RDONLY | O_DIRECTORY;
    if (access == OwnedAccess::read) return common | O_RDONLY;
    return common | O_RDWR | O_CREAT | O_APPEND;
}

}  // namespace

OwnedFile::OwnedFile(fs::path path, Status status, std::string problem, int fd)
    : path_(std::move(path)), status_(status), problem_(std::move(problem)), fd_(fd) {}

OwnedFile::OwnedFile(OwnedFile&& other) noexcept
    : path_(std::move(other.path_)),
      status_(other.status_),
      problem_(std::move(other.problem_)),
      fd_(std::exchange(other.fd_, -1)) {
    other.status_ = Status::failed;
}

OwnedFile& OwnedFile::operator=(OwnedFile&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    status_ = std::exchange(other.status_, Status::failed);
    problem_ = std::move(other.problem_);
    fd_ = std::exchange(other.fd_, -1);
    return *this;
}

OwnedFile::~OwnedFile() {
    if (fd_ >= 0) ::close(fd_);
}

OwnedFile OwnedFile::openChecked(int folderFd, const char* name, fs::path shown, OwnedAccess access,
                                 bool folder) {
    const int fd = ::openat(folderFd, name, openFlags(access, folder), 0600);
    if (fd < 0) {
        const int err = errno;
        // O_DIRECTORY answers a link with ENOTDIR before O_NOFOLLOW's ELOOP;
        // a link, or a file under a folder's name, is something planted.
        struct stat st {};
        if (folder && err == ENOTDIR && ::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode)) {
            std::string why =
                shown.string() +
                (S_ISLNK(st.st_mode) ? " is a link, which is not followed" : " is not a folder");
            return {std::move(shown), Status::refused, std::move(why)};
        }
        // Not there, or a part of the way is no folder: nothing to read.
        if ((err == ENOENT || err == ENOTDIR) && access == OwnedAccess::read)
            return {std::move(shown), Status::missing, ""};
        // Another user's, closed to this one: refused as theirs, as it would
        // be had it opened, and not taken for a fault of the system.
        if (err == EACCES && ::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_uid != ::geteuid())
            return {shown, Status::refused, whyNotOwned(shown, st, folder)};
        // O_NOFOLLOW's answer for a link in the last part, dangling or not.
        if (err == ELOOP) {
            std::string why = shown.string() + " is a link, which is not followed";
            return {std::move(shown), Status::refused, std::move(why)};
        }
        std::string why = "cannot open " + shown.string() + ": " + std::strerror(err);
        return {std::move(shown), Status::failed, std::move(why)};
    }
    OwnedFile opened(std::move(shown), Status::open, "", fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        std::string why = "cannot inspect " + opened.path_.string() + ": " + std::strerror(errno);
        return {std::move(opened.path_), Status::failed, std::move(why)};
    }
    if (std::string why = whyNotOwned(opened.path_, st, folder); !why.empty())
        return {std::move(opened.path_), Status::refused, std::move(why)};
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        std::string why = "cannot use " + opened.path_.string() + ": " + std::strerror(errno);
        return {std::move(opened.path_), Status::failed, std::move(why)};
    }
    return opened;
}

OwnedFile OwnedFile::privateFolder(const fs::path& folder, OwnedAccess access) {
    // mkdir never follows a link: one standing under the name gives EEXIST
    // and is refused by the open below.
    if (access == OwnedAccess::append && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        std::string why = "cannot make " + folder.string() + ": " + std::strerror(errno);
        return {folder, Status::failed, std::move(why)};
    }
    return openChecked(AT_FDCWD, folder.c_str(), folder, access, true);
}

OwnedFile OwnedFile::open(const fs::path& file, OwnedAccess access) {
    return openChecked(AT_FDCWD, file.c_str(), file, access, false);
}

OwnedFile OwnedFile::openIn(const OwnedFile& folder, const std::string& name, OwnedAccess access) {
    // A "/" would reach past the checked folder, and ".." out of it.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw std::invalid_argument("not a plain file name: \"" + name + "\"");
    if (!folder.isOpen())
        throw std::invalid_argument("the folder of " + name + " is not open: " + folder.problem());
    return openChecked(folder.fd_, name.c_str(), folder.path_ / name, access, false);
}

}  // namespace platform
