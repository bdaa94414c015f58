#pragma once
// Shared helpers for the storage tests: scratch folders, segment builders and
// a statement spy on a SQLite connection.

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"
#include "support/TempDir.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SessionMarker.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace storage_test {

using testsupport::TempDir;

inline platform::Date at(double secondsSince1970) {
    return platform::dateFromSecondsSince1970(secondsSince1970);
}

// 2024-05-01T10:00:00Z
constexpr double kBase = 1714557600.0;

inline verbolin::Segment segment(double start, double end, std::string text) {
    verbolin::Segment s;
    s.start = at(kBase + start);
    s.end = at(kBase + end);
    s.text = std::move(text);
    return s;
}

// Records every SQL statement the connection runs (trigger bodies left out).
class StatementSpy {
  public:
    explicit StatementSpy(sqlite3* db) : db_(db) {
        sqlite3_trace_v2(db_, SQLITE_TRACE_STMT, &StatementSpy::trace, this);
    }
    ~StatementSpy() { sqlite3_trace_v2(db_, 0, nullptr, nullptr); }
    StatementSpy(const StatementSpy&) = delete;
    StatementSpy& operator=(const StatementSpy&) = delete;

    const std::vector<std::string>& statements() const { return statements_; }
    void clear() { statements_.clear(); }

  private:
    static int trace(unsigned, void* context, void* p, void* x) {
        auto* self = static_cast<StatementSpy*>(context);
        const char* text = static_cast<const char*>(x);
        if (text && std::string(text).rfind("--", 0) == 0) return 0;  // a trigger's statement
        if (const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(p)))
            self->statements_.push_back(sql);
        return 0;
    }

    sqlite3* db_;
    std::vector<std::string> statements_;
};

// Runs one query and returns the first column of every row as text.
inline std::vector<std::string> column(sqlite3* db, const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return {"<error>"};
    while (sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        out.push_back(t ? reinterpret_cast<const char*>(t) : "<null>");
    }
    sqlite3_finalize(st);
    return out;
}

inline void run(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string message = err ? err : "?";
        sqlite3_free(err);
        throw std::runtime_error(message);
    }
}

// Another connection holding the write lock, as another process would: every
// write of the store fails until this goes away. Held `exclusively`, the
// file cannot be opened or read either.
class WriteLock {
  public:
    explicit WriteLock(const std::filesystem::path& file, bool exclusively = false) {
        sqlite3_open(file.c_str(), &db_);
        if (exclusively) run(db_, "PRAGMA locking_mode = EXCLUSIVE");
        run(db_, "BEGIN EXCLUSIVE");
    }
    ~WriteLock() {
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

  private:
    sqlite3* db_ = nullptr;
};

// While it lives, SQLite's default file layer is the real one, but files of
// one kind (an xOpen flag) take the methods `Shim::wrap` makes of theirs.
template <class Shim>
class VfsShim {
  public:
    VfsShim(const VfsShim&) = delete;
    VfsShim& operator=(const VfsShim&) = delete;

  protected:
    VfsShim(const char* name, int fileKind) : kind_(fileKind) {
        self_ = static_cast<Shim*>(this);
        real_ = sqlite3_vfs_find(nullptr);
        vfs_ = *real_;
        vfs_.zName = name;
        vfs_.xOpen = &VfsShim::open;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~VfsShim() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
        self_ = nullptr;
    }

    static inline Shim* self_ = nullptr;
    const sqlite3_io_methods* original_ = nullptr;

  private:
    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        const int rc = self_->real_->xOpen(self_->real_, name, file, flags, out);
        if (rc != SQLITE_OK || !file->pMethods || !(flags & self_->kind_)) return rc;
        self_->original_ = file->pMethods;
        self_->methods_ = *file->pMethods;
        Shim::wrap(self_->methods_);
        file->pMethods = &self_->methods_;
        return rc;
    }

    int kind_;
    sqlite3_vfs* real_ = nullptr;
    sqlite3_vfs vfs_{};
    sqlite3_io_methods methods_{};
};

// While it lives, every connection's WAL notes whether what was last written
// to it while `watched` existed was synced: what a power cut after `watched`
// went could otherwise lose. While failing, a sync of a WAL's frames fails as
// a disk that could not write a page back makes it fail (a new WAL's header
// is synced: only what makes commits last fails).
class WalSyncs : public VfsShim<WalSyncs> {
  public:
    explicit WalSyncs(std::filesystem::path watched)
        : VfsShim("wal-syncs", SQLITE_OPEN_WAL), watched_(std::move(watched)) {}

    bool unsyncedWhenWatchedWent() const { return unsynced_; }
    void setFailing(bool failing) { failing_ = failing; }

  private:
    friend class VfsShim<WalSyncs>;
    static void wrap(sqlite3_io_methods& methods) {
        methods.xWrite = [](sqlite3_file* f, const void* data, int n, sqlite3_int64 at) {
            self_->headerWritten_ = at == 0 && n == 32;
            if (std::filesystem::exists(self_->watched_)) self_->unsynced_ = true;
            return self_->original_->xWrite(f, data, n, at);
        };
        methods.xSync = [](sqlite3_file* f, int syncFlags) {
            const int synced = self_->failing_ && !std::exchange(self_->headerWritten_, false)
                                   ? SQLITE_IOERR_FSYNC
                                   : self_->original_->xSync(f, syncFlags);
            if (std::filesystem::exists(self_->watched_)) self_->unsynced_ = synced != SQLITE_OK;
            return synced;
        };
    }

    std::filesystem::path watched_;
    bool unsynced_ = false;
    bool failing_ = false;
    bool headerWritten_ = false;  // the last write was a WAL's header
};

// While it lives: from the moment a connection first starts a statement
// that begins with `sql` until the next statement starts, or disarm(),
// every read of a database file's pages answers busy, as it does while
// another program holds the file.
class BusyReadsFrom : public VfsShim<BusyReadsFrom> {
  public:
    explicit BusyReadsFrom(std::string sql)
        : VfsShim("busy-reads", SQLITE_OPEN_MAIN_DB), sql_(std::move(sql)) {
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&BusyReadsFrom::watch));
    }
    ~BusyReadsFrom() {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&BusyReadsFrom::watch));
    }

    bool fired() const { return fired_; }
    void disarm() { armed_ = false; }

  private:
    friend class VfsShim<BusyReadsFrom>;
    static int watch(sqlite3* db, const char**, const sqlite3_api_routines*) {
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &BusyReadsFrom::started, nullptr);
        return SQLITE_OK;
    }
    static int started(unsigned, void*, void* p, void*) {
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(p));
        const bool arming = !self_->fired_ && sql && std::string(sql).starts_with(self_->sql_);
        self_->armed_ = arming;
        self_->fired_ = self_->fired_ || arming;
        return 0;
    }
    static void wrap(sqlite3_io_methods& methods) {
        methods.xRead = [](sqlite3_file* f, void* data, int n, sqlite3_int64 at) {
            if (self_->armed_) return SQLITE_BUSY;
            return self_->original_->xRead(f, data, n, at);
        };
    }

    std::string sql_;
    bool fired_ = false, armed_ = false;
};

// What `sqlite3 -readonly` or a backup does: counts the segments with
// mode=ro, leaving the WAL and its index beside the file.
inline std::string countWithReadOnlyReader(const std::filesystem::path& file) {
    sqlite3* reader = nullptr;
    std::vector<std::string> count;
    if (sqlite3_open_v2(("file:" + file.string() + "?mode=ro").c_str(), &reader,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK)
        count = column(reader, "SELECT count(*) FROM segments");
    sqlite3_close(reader);
    return count.empty() ? "" : count.front();
}

// The folders in `tmp` that starts made with unique names for what they
// could not save.
inline std::vector<std::filesystem::path> uniqueFolders(const std::filesystem::path& tmp) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(tmp))
        if (entry.path().filename().string().starts_with("verbolin-" + std::to_string(::getuid()) +
                                                         "-") &&
            entry.is_directory() && !entry.is_symlink())
            found.push_back(entry.path());
    return found;
}

// Every storage log line, for as long as it lives.
class StorageLogCapture {
  public:
    StorageLogCapture()
        : old_(verbolin::setStorageLogSink(
              [this](const std::string& line) { text_ += line + "\n"; })) {}
    ~StorageLogCapture() { verbolin::setStorageLogSink(old_); }
    StorageLogCapture(const StorageLogCapture&) = delete;
    StorageLogCapture& operator=(const StorageLogCapture&) = delete;
    const std::string& text() const { return text_; }

  private:
    std::string text_;
    verbolin::StorageLogSink old_;
};

inline size_t occurrencesOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The texts of the store's segments, sorted.
inline std::vector<std::string> textsIn(const verbolin::TranscriptStore& store) {
    std::vector<std::string> texts;
    for (const auto& s : store.segments.peek()) texts.push_back(s.text);
    std::sort(texts.begin(), texts.end());
    return texts;
}

}  // namespace storage_test
