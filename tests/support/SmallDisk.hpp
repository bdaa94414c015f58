#pragma once
// A small tmpfs mounted on a fresh folder, for tests of what happens when a
// disk fills: fill() takes every free byte, makeRoom() gives them back. The
// mount needs root (CI runs as root); `unavailable()` says why it could not
// be made, for the test to skip with. Unmounted when the object goes away.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace testsupport {

class SmallDisk {
  public:
    explicit SmallDisk(size_t bytes = 2 << 20) : mountPoint_("verbolin-small-disk") {
        if (::geteuid() != 0) {
            unavailable_ = "needs root to mount a small tmpfs";
            return;
        }
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", mountPoint_.path().c_str(), "tmpfs", 0, options.c_str()) != 0) {
            unavailable_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(mountPoint_.path().c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    const std::optional<std::string>& unavailable() const { return unavailable_; }
    const std::filesystem::path& path() const { return mountPoint_.path(); }
    std::filesystem::path operator/(const std::string& name) const { return path() / name; }

    // Takes all free space but `room` bytes: one large file, then (when no
    // room is to be left) small ones until not a single byte more can be
    // written.
    void fill(off_t room = 0) {
        struct statvfs fs {};
        if (::statvfs(path().c_str(), &fs) != 0) throw std::runtime_error("statvfs failed");
        const auto free = off_t(fs.f_bavail) * off_t(fs.f_bsize);
        const auto file = fillerName();
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error("cannot create " + file.string());
        fillers_.push_back(file);
        if (free > room) ::posix_fallocate(fd, 0, free - room);
        ::close(fd);
        if (room > 0) return;
        // Whatever fallocate left, a page at a time, then a byte at a time.
        for (size_t chunk : {size_t(4096), size_t(1)}) {
            const std::vector<char> zeros(chunk, 0);
            const auto more = fillerName();
            const int extra = ::open(more.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (extra < 0) break;  // no inode left either: full enough
            fillers_.push_back(more);
            while (::write(extra, zeros.data(), chunk) == ssize_t(chunk)) {
            }
            ::close(extra);
        }
    }

    // Frees what fill() took.
    void makeRoom() {
        for (const auto& file : fillers_) std::filesystem::remove(file);
        fillers_.clear();
    }

    // Makes the disk `bytes` large, keeping what it holds.
    void resize(size_t bytes) {
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", path().c_str(), "tmpfs", MS_REMOUNT, options.c_str()) != 0)
            throw std::runtime_error(std::string("cannot resize the disk: ") +
                                     std::strerror(errno));
    }

    // Remounts the disk read-only, which holds for root too, or writable
    // again. Nothing on it may be open for writing.
    void setReadOnly(bool readOnly) {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
        if (::mount("tmpfs", path().c_str(), "tmpfs", flags, nullptr) != 0)
            throw std::runtime_error(std::string("cannot remount the disk: ") +
                                     std::strerror(errno));
    }

    // Whether a new file of one page can be written now.
    bool isFull() const {
        const auto probe = path() / ".probe";
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return true;
        const std::vector<char> page(4096, 0);
        const bool wrote = ::write(fd, page.data(), page.size()) == ssize_t(page.size());
        ::close(fd);
        ::unlink(probe.c_str());
        return !wrote;
    }

  private:
    std::filesystem::path fillerName() const {
        return path() / (".filler-" + std::to_string(fillers_.size()));
    }

    TempDir mountPoint_;
    bool mounted_ = false;
    std::optional<std::string> unavailable_;
    std::vector<std::filesystem::path> fillers_;
};

}  // namespace testsupport

// Skips the test, saying why, when no small disk can be mounted here.
#define SKIP_WITHOUT_SMALL_DISK(disk)                                                         \
    do {                                                                                      \
        if ((disk).unavailable()) GTEST_SKIP() << "no small disk: " << *(disk).unavailable(); \
    } while (0)
