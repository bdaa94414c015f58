#include "platform/system/ZipExtractor.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
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

// The zip format's records, as the central directory and the end records
// that locate it lay them out (little-endian throughout).
constexpr std::uint32_t kDirectorySignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint64_t kDirectoryHeaderBytes = 46;
constexpr std::uint64_t kLocalHeaderBytes = 30;
constexpr std::uint64_t kEndBytes = 22;
constexpr std::uint64_t kZip64LocatorBytes = 20;
constexpr std::uint64_t kZip64EndBytes = 56;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint32_t kUnset32 = 0xFFFFFFFF;
constexpr std::uint16_t kStored = 0;
ArchiveError damaged(const std::string& what) { return ArchiveError("damaged archive: " + what); }

// Reads the archive's bytes that a Tail holds, by their place in the
// archive; a read outside them is the archive's damage (a record that
// points where no record can be).
struct TailReader {
    const ZipExtractor::Tail& tail;

    bool holds(std::uint64_t at, std::uint64_t count) const {
        return at >= tail.offset && at - tail.offset <= tail.bytes.size() &&
               count <= tail.bytes.size() - (at - tail.offset);
    }
    std::uint64_t little(std::uint64_t at, int count) const {
        if (!holds(at, std::uint64_t(count))) throw damaged("a record lies outside the archive");
        std::uint64_t value = 0;
        for (int i = count - 1; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(tail.bytes[at - tail.offset + i]);
        return value;
    }
    std::uint16_t u16(std::uint64_t at) const { return std::uint16_t(little(at, 2)); }
    std::uint32_t u32(std::uint64_t at) const { return std::uint32_t(little(at, 4)); }
    std::uint64_t u64(std::uint64_t at) const { return little(at, 8); }
};

struct EndRecord {
    std::uint64_t entries = 0;
    std::uint64_t directoryOffset = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryStart = 0;  // the first byte needed: the directory's or Zip64's record
};

// The last end record whose comment fits before the archive's end and that
// describes a one-disk archive (a comment may hold the signature too).
std::optional<std::uint64_t> findEnd(const TailReader& at) {
    const ZipExtractor::Tail& tail = at.tail;
    if (tail.offset > tail.archiveSize || tail.bytes.size() != tail.archiveSize - tail.offset)
        throw std::invalid_argument("the tail does not reach the archive's end");
    if (tail.bytes.size() < kEndBytes) return std::nullopt;
    const std::uint64_t last = tail.archiveSize - kEndBytes;
    const std::uint64_t first = std::max(tail.offset, last - std::min<std::uint64_t>(last, 0xFFFF));
    for (std::uint64_t pos = last + 1; pos-- > first;) {
        if (at.u32(pos) != kEndSignature) continue;
        const bool fits = at.u16(pos + 20) <= last - pos;
        const bool oneDisk =
            at.u16(pos + 4) == 0 && at.u16(pos + 6) == 0 && at.u16(pos + 8) == at.u16(pos + 10);
        if (fits && oneDisk) return pos;
    }
    return std::nullopt;
}

// Where the directory lies, by the end record and, where a locator stands
// before it, Zip64's. When Zip64's record lies before the tail, only where
// to read from is known yet.
EndRecord endOf(const ZipExtractor::Tail& tail) {
    const TailReader at{tail};
    const auto pos = findEnd(at);
    if (!pos) throw damaged("no end of central directory record");
    EndRecord end{at.u16(*pos + 10), at.u32(*pos + 16), at.u32(*pos + 12), 0};
    std::uint64_t directoryLimit = *pos;
    const std::uint64_t locator = *pos - std::min(*pos, kZip64LocatorBytes);
    if (*pos >= kZip64LocatorBytes && at.holds(locator, kZip64LocatorBytes) &&
        at.u32(locator) == kZip64LocatorSignature) {
        const std::uint64_t record = at.u64(locator + 8);
        if (locator < kZip64EndBytes || record > locator - kZip64EndBytes)
            throw damaged("Zip64 end record out of place");
        if (record < tail.offset) return EndRecord{0, 0, 0, record};
        if (at.u32(record) != kZip64EndSignature || at.u32(record + 16) != 0 ||
            at.u32(record + 20) != 0 || at.u64(record + 24) != at.u64(record + 32))
            throw damaged("bad Zip64 end record");
        end = EndRecord{at.u64(record + 32), at.u64(record + 48), at.u64(record + 40), 0};
        directoryLimit = record;
    }
    if (end.directoryOffset > directoryLimit ||
        end.directorySize > directoryLimit - end.directoryOffset)
        throw damaged("central directory out of place");
    // Every entry takes a header of its own: a count past what the
    // directory's bytes can hold is a lie, refused before any is read.
    if (end.entries > end.directorySize / kDirectoryHeaderBytes)
        throw damaged("more entries declared than the central directory holds");
    end.directoryStart = std::min(end.directoryOffset, directoryLimit);
    return end;
}

// What the directory header at `p` declares its entry unpacks to: the
// uncompressed size (a stored one's data is copied as it lies, so the larger
// of its two sizes), from Zip64's extra field where the header defers to it.
std::uint64_t declaredSize(const TailReader& at, std::uint64_t p) {
    std::uint64_t unpacked = at.u32(p + 24), packed = at.u32(p + 20);
    if (unpacked == kUnset32 || packed == kUnset32) {
        const std::uint64_t extraEnd = p + kDirectoryHeaderBytes + at.u16(p + 28) + at.u16(p + 30);
        for (std::uint64_t x = p + kDirectoryHeaderBytes + at.u16(p + 28); x + 4 <= extraEnd;
             x += 4 + at.u16(x + 2)) {
            if (at.u16(x) != kZip64Extra) continue;
            std::uint64_t field = x + 4;
            const std::uint64_t fieldEnd = field + at.u16(x + 2);
            for (std::uint64_t* size : {&unpacked, &packed}) {
                if (*size != kUnset32) continue;
                if (field + 8 > fieldEnd || fieldEnd > extraEnd)
                    throw damaged("Zip64 extra field cut short");
                *size = at.u64(field);
                field += 8;
            }
            break;
        }
    }
    return at.u16(p + 10) == kStored ? std::max(unpacked, packed) : unpacked;
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

ZipExtractor::Contents ZipExtractor::mostContents(std::uint64_t archiveSize, const Limits& limits) {
    return Contents{budgetOf(archiveSize, limits),
                    std::min(limits.maxEntries, archiveSize / kLocalHeaderBytes)};
}

std::uint64_t ZipExtractor::directoryStart(const Tail& tail) { return endOf(tail).directoryStart; }

ZipExtractor::Contents ZipExtractor::declaredContents(const Tail& tail, const Limits& limits) {
    const EndRecord end = endOf(tail);
    if (end.directoryStart < tail.offset) throw ArchiveError("archive directory is not at hand");
    if (end.entries > limits.maxEntries) throw tooManyEntries(limits.maxEntries);
    const std::uint64_t budget = budgetOf(tail.archiveSize, limits);
    const TailReader at{tail};
    const std::uint64_t directoryEnd = end.directoryOffset + end.directorySize;
    Contents contents;
    std::uint64_t p = end.directoryOffset;
    for (; contents.entries < end.entries; ++contents.entries) {
        if (directoryEnd - p < kDirectoryHeaderBytes || at.u32(p) != kDirectorySignature)
            throw damaged("directory entry " + std::to_string(contents.entries) + " is missing");
        const std::uint64_t next =
            p + kDirectoryHeaderBytes + at.u16(p + 28) + at.u16(p + 30) + at.u16(p + 32);
        if (next > directoryEnd)
            throw damaged("directory entry " + std::to_string(contents.entries) + " is cut short");
        const std::uint64_t size = declaredSize(at, p);
        if (size > budget - contents.bytes) throw tooLarge(budget);
        contents.bytes += size;
        p = next;
    }
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
