#include "platform/system/ZipExtractor.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <optional>
#include <string>
#include <system_error>

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

const char* entryName(archive_entry* e) {
    const char* name = archive_entry_pathname(e);
    return name ? name : archive_entry_pathname_utf8(e);
}

void copyData(archive* in, archive* out) {
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int rc = archive_read_data_block(in, &block, &size, &offset);
        if (rc == ARCHIVE_EOF) return;
        // A bad checksum comes back as a warning; a damaged download it is.
        if (rc != ARCHIVE_OK) fail(in, "damaged entry data");
        if (archive_write_data_block(out, block, size, offset) < ARCHIVE_OK) fail(out, "cannot write entry");
    }
}

}  // namespace

void ZipExtractor::extract(const fs::path& archivePath, const fs::path& directory) {
    std::error_code ec;
    // The write side refuses to follow links anywhere on the path, so the
    // root itself must be spelled without any.
    const fs::path root = fs::canonical(directory, ec);
    if (ec) throw ArchiveError("target folder unavailable: " + ec.message());

    std::unique_ptr<archive, ReadDeleter> in(archive_read_new());
    std::unique_ptr<archive, WriteDeleter> out(archive_write_disk_new());
    if (!in || !out) throw ArchiveError("out of memory");
    archive_read_support_format_zip(in.get());
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    if (archive_read_open_filename(in.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK) {
        fail(in.get(), "cannot open archive");
    }
    for (;;) {
        archive_entry* entry = nullptr;
        int rc = archive_read_next_header(in.get(), &entry);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) fail(in.get(), "damaged archive");

        const char* rawName = entryName(entry);
        if (!rawName) throw ArchiveError("entry without a readable name");
        const std::string name = rawName;
        const auto relative = confinedPath(name);
        if (!relative) throw ArchiveError("entry \"" + name + "\" would be written outside the target folder");
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

        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN) fail(out.get(), "cannot write \"" + name + "\"");
        copyData(in.get(), out.get());
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN) fail(out.get(), "cannot write \"" + name + "\"");
    }
    if (archive_write_close(out.get()) < ARCHIVE_WARN) fail(out.get(), "cannot finish writing");
}

}  // namespace platform
