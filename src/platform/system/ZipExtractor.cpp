#include "platform/system/ZipExtractor.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

struct ReadDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteDeleter {
    void operator()(archive* a) const { archive_write_free(a); }
};

[[noreturn]] void fail(archive* a, const std::string& what) {
    const char* detail = archive_error_string(a);
    throw ArchiveError(detail ? what + ": " + detail : what);
}

// The entry's path below the target folder, or nullopt when it is absolute or
// climbs with "..". An empty result names the target folder itself.
std::optional<fs::path> confinedPath(const std::string& name) {
    if (name.empty() || name.front() == '/') return std::nullopt;
    fs::path result;
    for (const auto& part : fs::path(name)) {
        const std::string s = part.string();
        if (s == "..") return std::nullopt;
        if (s.empty() || s == "." || s == "/") continue;
        result /= part;
    }
    return result;
}

// A link target is resolved from the link's folder, which is a real folder
// (links are never written through). Leading ".." steps may climb no higher
// than the target folder; a ".." after a named step is refused outright,
// because that step may itself be a link and the climb would then start
// somewhere else than it seems.
bool linkStaysInside(const fs::path& linkPath, const std::string& target) {
    if (target.empty() || target.front() == '/') return false;
    long depth = 0;
    for (auto it = linkPath.begin(); it != linkPath.end(); ++it) ++depth;
    depth -= 1;  // the link's own folder, not the link
    bool named = false;
    for (const auto& part : fs::path(target)) {
        const std::string s = part.string();
        if (s.empty() || s == ".") continue;
        if (s == "..") {
            if (named || --depth < 0) return false;
        } else {
            named = true;
        }
    }
    return true;
}

// A write the disk refused (full, over quota, read-only, failing) is no
// fault of the archive: it is said as the system's error on the file, so
// that nobody is told to download a sound archive again.
[[noreturn]] void failWrite(archive* out, const fs::path& file, const std::string& what) {
    const int err = archive_errno(out);
    if (err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO)
        throw fs::filesystem_error("cannot write", file,
                                   std::error_code(err, std::generic_category()));
    fail(out, what);
}

// Opened for reading; a zip on disk is read by its central directory.
std::unique_ptr<archive, ReadDeleter> openZip(const fs::path& archivePath) {
    std::unique_ptr<archive, ReadDeleter> in(archive_read_new());
    if (!in) throw ArchiveError("out of memory");
    archive_read_support_format_zip(in.get());
    if (archive_read_open_filename(in.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK)
        fail(in.get(), "cannot open archive");
    return in;
}

// All entries' data together may come to no more than this.
std::uint64_t budgetOf(std::uint64_t archiveSize, const ZipExtractor::Limits& limits) {
    // The ratio counts from 1 MB up, so that small archives of small text
    // files are not held to it.
    const std::uint64_t ratioBudget =
        std::max<std::uint64_t>(archiveSize, 1u << 20) * limits.maxRatio;
    return std::min(limits.maxBytes, ratioBudget);
}

ArchiveError tooLarge(std::uint64_t budget) {
    return ArchiveError("archive unpacks to more than " + std::to_string(budget) + " bytes");
}

ArchiveError tooManyEntries(std::uint64_t maxEntries) {
    return ArchiveError("archive holds more than " + std::to_string(maxEntries) + " entries");
}

const char* entryName(archive_entry* e) {
    const char* name = archive_entry_pathname(e);
    return name ? name : archive_entry_pathname_utf8(e);
}

// Copies one entry's data, adding its extent to `total` before each block
// is written, so that the budget holds whatever the headers declared.
void stopIfAsked(const std::function<bool()>& stopRequested) {
    if (stopRequested && stopRequested()) throw ExtractionStopped("unpacking was stopped");
}

void copyData(archive* in, archive* out, const fs::path& file, std::uint64_t& total,
              std::uint64_t budget, const std::function<bool()>& stopRequested) {
    std::uint64_t extent = 0;
    for (;;) {
        stopIfAsked(stopRequested);
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int rc = archive_read_data_block(in, &block, &size, &offset);
        if (rc == ARCHIVE_EOF) return;
        // A bad checksum comes back as a warning; a damaged download it is.
        if (rc != ARCHIVE_OK) fail(in, "damaged entry data");
        // A block may start past the previous one (a sparse entry): the gap
        // still lands on disk.
        const std::uint64_t end = std::uint64_t(std::max<la_int64_t>(offset, 0)) + size;
        if (end > extent) {
            total += end - extent;
            extent = end;
        }
        if (total > budget) throw tooLarge(budget);
        if (archive_write_data_block(out, block, size, offset) < ARCHIVE_OK)
            failWrite(out, file, "cannot write entry");
    }
}

// Removes what a failed extraction wrote: each entry's own path, then every
// top-level item that was not in the folder before. Runs after the writer is
// freed, which stretches a file cut short to its declared size.
void removeWritten(const fs::path& root, const std::vector<fs::path>& written,
                   const std::set<fs::path>& before) {
    std::error_code ignored;
    for (auto it = written.rbegin(); it != written.rend(); ++it) {
        if (!fs::is_directory(fs::symlink_status(*it, ignored))) fs::remove(*it, ignored);
    }
    for (fs::directory_iterator d(root, ignored), end; !ignored && d != end; d.increment(ignored)) {
        if (!before.count(d->path().filename())) {
            std::error_code e;
            fs::remove_all(d->path(), e);
        }
    }
}

}  // namespace

void ZipExtractor::extract(const fs::path& archivePath, const fs::path& directory,
                           const Limits& limits, const std::function<bool()>& stopRequested) {
    std::error_code ec;
    // The write side refuses to follow links anywhere on the path, so the
    // root itself must be spelled without any.
    const fs::path root = fs::canonical(directory, ec);
    if (ec) throw ArchiveError("target folder unavailable: " + ec.message());
    const auto archiveSize = fs::file_size(archivePath, ec);
    if (ec) throw ArchiveError("cannot open archive: " + ec.message());
    std::set<fs::path> before;
    for (fs::directory_iterator d(root, ec), end; !ec && d != end; d.increment(ec))
        before.insert(d->path().filename());
    if (ec) throw ArchiveError("target folder unavailable: " + ec.message());

    const std::uint64_t budget = budgetOf(archiveSize, limits);
    std::vector<fs::path> written;
    try {
        extractInto(archivePath, root, limits.maxEntries, budget, stopRequested, written);
    } catch (...) {
        removeWritten(root, written, before);
        throw;
    }
}

std::optional<ZipExtractor::Contents> ZipExtractor::declaredContents(const fs::path& archivePath,
                                                                     const Limits& limits) {
    std::error_code ec;
    const auto archiveSize = fs::file_size(archivePath, ec);
    if (ec) throw ArchiveError("cannot open archive: " + ec.message());
    const std::uint64_t budget = budgetOf(archiveSize, limits);
    const auto in = openZip(archivePath);
    Contents contents;
    bool complete = true;
    for (;;) {
        archive_entry* entry = nullptr;
        const int rc = archive_read_next_header(in.get(), &entry);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) fail(in.get(), "damaged archive");
        if (++contents.entries > limits.maxEntries) throw tooManyEntries(limits.maxEntries);
        if (!archive_entry_size_is_set(entry)) {
            complete = false;
            continue;
        }
        const auto size = std::uint64_t(std::max<la_int64_t>(archive_entry_size(entry), 0));
        if (size > budget - contents.bytes) throw tooLarge(budget);
        contents.bytes += size;
    }
    if (!complete) return std::nullopt;
    return contents;
}

void ZipExtractor::extractInto(const fs::path& archivePath, const fs::path& root,
                               std::uint64_t maxEntries, std::uint64_t budget,
                               const std::function<bool()>& stopRequested,
                               std::vector<fs::path>& written) {
    const auto in = openZip(archivePath);
    std::unique_ptr<archive, WriteDeleter> out(archive_write_disk_new());
    if (!out) throw ArchiveError("out of memory");
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    std::uint64_t total = 0, entries = 0;
    for (;;) {
        stopIfAsked(stopRequested);
        archive_entry* entry = nullptr;
        int rc = archive_read_next_header(in.get(), &entry);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) fail(in.get(), "damaged archive");
        if (++entries > maxEntries) throw tooManyEntries(maxEntries);

        const char* rawName = entryName(entry);
        if (!rawName) throw ArchiveError("entry without a readable name");
        const std::string name = rawName;
        const auto relative = confinedPath(name);
        if (!relative)
            throw ArchiveError("entry \"" + name + "\" would be written outside the target folder");
        if (relative->empty()) continue;

        const char* hardlink = archive_entry_hardlink(entry);
        const mode_t type = archive_entry_filetype(entry);
        if (hardlink) {
            const auto linked = confinedPath(hardlink);
            if (!linked || linked->empty()) {
                throw ArchiveError("entry \"" + name + "\" links outside the target folder");
            }
            archive_entry_set_hardlink(entry, (root / *linked).c_str());
        } else if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target || !linkStaysInside(*relative, target)) {
                throw ArchiveError("entry \"" + name + "\" links outside the target folder");
            }
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            throw ArchiveError("entry \"" + name + "\" is not a file, folder or link");
        }
        archive_entry_set_pathname(entry, (root / *relative).c_str());
        // The declared size is what finishing the entry stretches the file
        // to, even when its data is cut short.
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0 &&
            std::uint64_t(archive_entry_size(entry)) > budget - std::min(total, budget))
            throw ArchiveError("entry \"" + name + "\" is larger than the archive may unpack to");

        written.push_back(root / *relative);
        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN)
            failWrite(out.get(), written.back(), "cannot write \"" + name + "\"");
        copyData(in.get(), out.get(), written.back(), total, budget, stopRequested);
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN)
            failWrite(out.get(), written.back(), "cannot write \"" + name + "\"");
    }
    if (archive_write_close(out.get()) < ARCHIVE_WARN)
        failWrite(out.get(), root, "cannot finish writing");
}

}  // namespace platform
