#pragma once
// Builds zip archives in memory with libarchive, entry names taken verbatim,
// so tests can make well-formed, hostile and damaged archives alike.

#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.hpp"  // readFile

namespace testsupport {

class ZipBuilder {
  public:
    ZipBuilder& file(std::string path, std::string content) {
        entries_.push_back({Kind::file, std::move(path), std::move(content)});
        return *this;
    }
    ZipBuilder& folder(std::string path) {
        entries_.push_back({Kind::folder, std::move(path), {}});
        return *this;
    }
    ZipBuilder& symlink(std::string path, std::string target) {
        entries_.push_back({Kind::symlink, std::move(path), std::move(target)});
        return *this;
    }
    // Store entries uncompressed (deflate by default).
    ZipBuilder& stored() {
        stored_ = true;
        return *this;
    }
    // Zip64's end records, as an archive past 4 GiB or 65,535 entries has.
    ZipBuilder& zip64() {
        zip64_ = true;
        return *this;
    }

    std::string bytes() const {
        std::string out;
        std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                                  archive_write_free);
        archive_write_set_format_zip(a.get());
        if (stored_) archive_write_set_format_option(a.get(), "zip", "compression", "store");
        if (zip64_) archive_write_set_format_option(a.get(), "zip", "zip64", "1");
        archive_write_set_bytes_in_last_block(a.get(), 1);
        if (archive_write_open(a.get(), &out, nullptr, append, nullptr) != ARCHIVE_OK) {
            throw std::runtime_error("zip open failed");
        }
        for (const auto& e : entries_) {
            std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                                archive_entry_free);
            archive_entry_set_pathname(entry.get(), e.path.c_str());
            archive_entry_set_mtime(entry.get(), 1700000000, 0);
            switch (e.kind) {
                case Kind::file:
                    archive_entry_set_filetype(entry.get(), AE_IFREG);
                    archive_entry_set_perm(entry.get(), 0644);
                    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.data.size()));
                    break;
                case Kind::folder:
                    archive_entry_set_filetype(entry.get(), AE_IFDIR);
                    archive_entry_set_perm(entry.get(), 0755);
                    archive_entry_set_size(entry.get(), 0);
                    break;
                case Kind::symlink:
                    archive_entry_set_filetype(entry.get(), AE_IFLNK);
                    archive_entry_set_perm(entry.get(), 0777);
                    archive_entry_set_symlink(entry.get(), e.data.c_str());
                    archive_entry_set_size(entry.get(), 0);
                    break;
            }
            if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) {
                throw std::runtime_error(std::string("zip header failed: ") +
                                         archive_error_string(a.get()));
            }
            if (e.kind == Kind::file && !e.data.empty()) {
                archive_write_data(a.get(), e.data.data(), e.data.size());
            }
        }
        if (archive_write_close(a.get()) != ARCHIVE_OK)
            throw std::runtime_error("zip close failed");
        return out;
    }

    void writeTo(const std::filesystem::path& path) const {
        std::ofstream(path, std::ios::binary) << bytes();
    }

  private:
    enum class Kind { file, folder, symlink };
    struct Entry {
        Kind kind;
        std::string path;
        std::string data;  // file content or link target
    };

    static la_ssize_t append(archive*, void* client, const void* buffer, size_t length) {
        static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
        return static_cast<la_ssize_t>(length);
    }

    std::vector<Entry> entries_;
    bool stored_ = false;
    bool zip64_ = false;
};

// Bytes that do not compress, so a stored entry keeps its size.
inline std::string incompressibleBytes(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xff);
    }
    return s;
}

}  // namespace testsupport
