#include "verbolin/storage/TranscriptDB.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/system/AppError.hpp"
#include "platform/system/Text.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/WalCheckpointer.hpp"

namespace verbolin {
namespace {

constexpr const char* kDomain = "TranscriptDB";

// Resets a kept statement and clears its values however the function that
// used it returns, so that no read stays open and no text is held.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    explicit Statement(sqlite3_stmt* s) : stmt(s) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() {
        if (!stmt) return;
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
    explicit operator bool() const { return stmt != nullptr; }
};

// Finalizes a statement prepared for one use.
struct OneOffStatement {
    sqlite3_stmt* stmt = nullptr;
    OneOffStatement() = default;
    OneOffStatement(const OneOffStatement&) = delete;
    OneOffStatement& operator=(const OneOffStatement&) = delete;
    ~OneOffStatement() { sqlite3_finalize(stmt); }
};

// SQLite's message for the connection's last error, with the system's reason
// when the disk failed it: "database or disk is full" alone does not tell a
// user which of the two it was.
std::string errorText(sqlite3* db) {
    std::string text = sqlite3_errmsg(db);
    const int code = sqlite3_errcode(db);
    // "database is locked" does not say that it is none of our doing.
    if ((code & 0xff) == SQLITE_BUSY)
        return std::string(TranscriptDB::kHeldByAnotherProgram) + " (" + text + ")";
    int reason = 0;
    // SQLite keeps no system error for a full disk; a full disk is its only cause here.
    if (code == SQLITE_FULL) reason = ENOSPC;
    if (code == SQLITE_IOERR || code == SQLITE_CANTOPEN) reason = sqlite3_system_errno(db);
    if (reason != 0) text += std::string(" (") + std::strerror(reason) + ")";
    return text;
}

bool isBusy(int rc) { return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED; }

// The connection's last error: another program holding the file for the
// moment is told apart from a statement that failed.
platform::AppError failure(sqlite3* db) {
    return platform::AppError(kDomain, isBusy(sqlite3_errcode(db)) ? TranscriptDB::kBusy : 2,
                              errorText(db));
}

int userVersion(sqlite3* db) {
    OneOffStatement st;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st.stmt, nullptr) != SQLITE_OK ||
        sqlite3_step(st.stmt) != SQLITE_ROW)
        throw failure(db);
    return sqlite3_column_int(st.stmt, 0);
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

void bindOptionalText(sqlite3_stmt* stmt, int index, const std::optional<std::string>& text) {
    if (text)
        bindText(stmt, index, *text);
    else
        sqlite3_bind_null(stmt, index);
}

std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* p = sqlite3_column_text(stmt, column);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p),
                       size_t(sqlite3_column_bytes(stmt, column)));
}

std::optional<std::string> columnOptionalText(sqlite3_stmt* stmt, int column) {
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
    return columnText(stmt, column);
}

// A "file:" URI for SQLite: every byte but the unreserved ones and the
// slashes escaped, so that "?", "#" and "%" in a folder name stay part of it.
std::string fileUri(const std::filesystem::path& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const unsigned char c : path.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += char(c);
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0xf];
        }
    }
    return uri;
}

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

bool isVirtualTable(const std::string& createSql) {
    return asciiLower(createSql).find("virtual table") != std::string::npos;
}

struct SchemaObject {
    std::string type;
    std::string sql;
};

// The kind and "CREATE" text of what the file keeps under `name`.
std::optional<SchemaObject> schemaObject(sqlite3* db, const char* name) {
    OneOffStatement st;
    if (sqlite3_prepare_v2(db, "SELECT type, sql FROM sqlite_master WHERE name = ?", -1, &st.stmt,
                           nullptr) != SQLITE_OK)
        throw failure(db);
    sqlite3_bind_text(st.stmt, 1, name, -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(st.stmt);
    if (rc == SQLITE_ROW) return SchemaObject{columnText(st.stmt, 0), columnText(st.stmt, 1)};
    if (rc == SQLITE_DONE) return std::nullopt;
    throw failure(db);
}

// What the file keeps under `name` among tables and views, whose names
// are of one kind: a trigger or an index may share it.
std::optional<SchemaObject> tableOrView(sqlite3* db, const char* name) {
    const auto object = schemaObject(db, name);
    if (!object || object->type == "table" || object->type == "view") return object;
    OneOffStatement st;
    if (sqlite3_prepare_v2(db,
                           "SELECT type, sql FROM sqlite_master WHERE name = ? AND type IN "
                           "('table', 'view')",
                           -1, &st.stmt, nullptr) != SQLITE_OK)
        throw failure(db);
    sqlite3_bind_text(st.stmt, 1, name, -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(st.stmt);
    if (rc == SQLITE_ROW) return SchemaObject{columnText(st.stmt, 0), columnText(st.stmt, 1)};
    if (rc == SQLITE_DONE) return std::nullopt;
    throw failure(db);
}

// Lower case: SQLite matches column names without regard to case.
std::vector<std::string> columnNames(sqlite3* db, const char* table) {
    OneOffStatement st;
    if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?)", -1, &st.stmt, nullptr) !=
        SQLITE_OK)
        throw failure(db);
    sqlite3_bind_text(st.stmt, 1, table, -1, SQLITE_TRANSIENT);
    std::vector<std::string> names;
    int rc;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW)
        names.push_back(asciiLower(columnText(st.stmt, 0)));
    if (rc != SQLITE_DONE) throw failure(db);
    return names;
}

// Unicode white space and line breaks separate the words of a query.
std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0, wordStart = 0;
    while (i < text.size()) {
        const size_t at = i;
        const auto c = platform::text::decodeScalar(text, i);
        if (c && platform::text::isWhiteSpace(*c)) {
            if (at > wordStart) words.push_back(text.substr(wordStart, at - wordStart));
            wordStart = i;
        }
    }
    if (text.size() > wordStart) words.push_back(text.substr(wordStart));
    return words;
}

// A row whose stored id does not read back as the same canonical UUID text:
// memory gets `id`, and the row is rewritten under it.
}  // namespace

struct IdRepair {
    sqlite3_int64 rowid;
    platform::Uuid id;
};

namespace {

// The columns of the row a statement stands on, each taken once: every
// sqlite3_column_* call takes the connection's lock, and years of dictation
// are a quarter of a million rows. A value so taken may be read without the
// lock by the one thread that uses the connection; it lasts until the next
// step.
class RowValues {
  public:
    explicit RowValues(sqlite3_stmt* stmt) : stmt_(stmt) {}
    // Empty for NULL.
    std::string_view text(int column) const { return textOf(sqlite3_column_value(stmt_, column)); }
    std::optional<std::string> optionalText(int column) const {
        sqlite3_value* value = sqlite3_column_value(stmt_, column);
        if (sqlite3_value_type(value) == SQLITE_NULL) return std::nullopt;
        return std::string(textOf(value));
    }
    double real(int column) const {
        return sqlite3_value_double(sqlite3_column_value(stmt_, column));
    }
    int integer(int column) const { return sqlite3_value_int(sqlite3_column_value(stmt_, column)); }
    sqlite3_int64 integer64(int column) const {
        return sqlite3_value_int64(sqlite3_column_value(stmt_, column));
    }

  private:
    static std::string_view textOf(sqlite3_value* value) {
        const unsigned char* p = sqlite3_value_text(value);  // before its length, as SQLite asks
        if (!p) return {};
        return {reinterpret_cast<const char*>(p), size_t(sqlite3_value_bytes(value))};
    }

    sqlite3_stmt* stmt_;
};

platform::Uuid readId(const RowValues& row, int idColumn, int rowidColumn,
                      std::vector<IdRepair>& repairs) {
    // Read in place: years of rows would otherwise copy each id twice.
    const std::string_view text = row.text(idColumn);
    if (auto id = platform::Uuid::parse(text)) {
        // What parses is canonical but for lower-case hex digits.
        if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'f'; }))
            repairs.push_back({row.integer64(rowidColumn), *id});
        return *id;
    }
    platform::Uuid fresh = platform::Uuid::random();
    repairs.push_back({row.integer64(rowidColumn), fresh});
    return fresh;
}

}  // namespace

constexpr const char* kWriteSegment =
    "INSERT OR REPLACE INTO segments (id, start, end, text, edited, original) VALUES "
    "(?, ?, ?, ?, ?, ?)";
constexpr const char* kWriteSession =
    "INSERT OR REPLACE INTO sessions (id, start, name) VALUES (?, ?, ?)";
constexpr const char* kDeleteSegment = "DELETE FROM segments WHERE id = ?";
constexpr const char* kDeleteSession = "DELETE FROM sessions WHERE id = ?";
// A mark only rises. A value that is no integer (another program's text or
// blob) is replaced: max() would rank any text above every number and keep
// it for good.
constexpr const char* kWriteMark =
    "INSERT INTO recovery_marks (file, line) VALUES (?, ?) ON CONFLICT (file) DO UPDATE SET line "
    "= CASE WHEN typeof(line) = 'integer' AND line > excluded.line THEN line ELSE excluded.line "
    "END";
constexpr const char* kWriteRecordMark =
    "INSERT INTO recovery_records (record, file, line) VALUES (?, ?, ?) ON CONFLICT (record, "
    "file) DO UPDATE SET line = CASE WHEN typeof(line) = 'integer' AND line > excluded.line THEN "
    "line ELSE excluded.line END";
constexpr const char* kReadMarks = "SELECT file, line FROM recovery_marks";
constexpr const char* kReadRecordMarks = "SELECT file, line FROM recovery_records";
// Whether a mark written reads back as one: a column of another program's
// type turns the number into text or a real number by its affinity, and a
// trigger may take the row away, and either would leave the line unmarked
// with nothing said.
constexpr const char* kMarkHeld =
    "SELECT count(*) FROM recovery_marks WHERE file = ? AND typeof(line) = 'integer' AND line >= "
    "?";
constexpr const char* kRecordMarkHeld =
    "SELECT count(*) FROM recovery_records WHERE record = ? AND file = ? AND typeof(line) = "
    "'integer' AND line >= ?";
constexpr const char* kRenameWayOut = "rename that table, and the next start makes it anew";
// From this many segments in one change on, the full-text index is rebuilt
// once rather than updated per row.
constexpr size_t kBulkRows = 20000;
// FTS5 merges the index's segments by itself, at one commit in 64 (when 64
// leaf pages were written since) and 64 pages per level of the index then,
// and a whole level at once when it has reached 16 segments: a few
// megabytes written inside one commit after a few hundred keys, in a
// transcript of some years. Here each commit that changes the index merges
// at most about 16 pages of it (more only to finish one word's list of
// rows), which keeps up with what a commit adds; the crisis merge stays for
// what a release before this one writes. Set in the file, so that release
// reads it too: it then merges only a level that reached 64 segments.
constexpr const char* kMergeStep =
    "INSERT INTO segments_fts(segments_fts, rank) VALUES ('merge', 16)";
constexpr const char* kMergingSet =
    "SELECT count(*) FROM segments_fts_config WHERE (k = 'automerge' AND v = 0) OR (k = "
    "'crisismerge' AND v = 64)";
constexpr const char* kNoAutomerge =
    "INSERT INTO segments_fts(segments_fts, rank) VALUES ('automerge', 0)";
constexpr const char* kCrisisMerge =
    "INSERT INTO segments_fts(segments_fts, rank) VALUES ('crisismerge', 64)";

const char* const TranscriptDB::schema =
    "CREATE TABLE IF NOT EXISTS segments (\n"
    "    id TEXT PRIMARY KEY,\n"
    "    start REAL NOT NULL,\n"
    "    end REAL NOT NULL,\n"
    "    text TEXT NOT NULL,\n"
    "    edited INTEGER NOT NULL DEFAULT 0,\n"
    "    original TEXT\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS segments_start ON segments(start);\n"
    "CREATE TABLE IF NOT EXISTS sessions (\n"
    "    id TEXT PRIMARY KEY,\n"
    "    start REAL NOT NULL,\n"
    "    name TEXT\n"
    ");\n"
    "CREATE VIRTUAL TABLE IF NOT EXISTS segments_fts USING fts5(text, content='segments', "
    "content_rowid='rowid', "
    "tokenize='unicode61');\n"
    "CREATE TRIGGER IF NOT EXISTS segments_ai AFTER INSERT ON segments BEGIN\n"
    "    INSERT INTO segments_fts(rowid, text) VALUES (new.rowid, new.text);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS segments_ad AFTER DELETE ON segments BEGIN\n"
    "    INSERT INTO segments_fts(segments_fts, rowid, text) VALUES ('delete', old.rowid, "
    "old.text);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS segments_au AFTER UPDATE ON segments BEGIN\n"
    "    INSERT INTO segments_fts(segments_fts, rowid, text) VALUES ('delete', old.rowid, "
    "old.text);\n"
    "    INSERT INTO segments_fts(rowid, text) VALUES (new.rowid, new.text);\n"
    "END;\n"
    "CREATE TABLE IF NOT EXISTS recovery_marks (\n"
    "    file TEXT PRIMARY KEY,\n"
    "    line INTEGER NOT NULL\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS recovery_records (\n"
    "    record TEXT NOT NULL,\n"
    "    file TEXT NOT NULL,\n"
    "    line INTEGER NOT NULL,\n"
    "    PRIMARY KEY (record, file)\n"
    ");";

TranscriptDB::TranscriptDB(std::filesystem::path url, Access access, int busyWaitMs)
    : url_(std::move(url)), readOnly_(access != Access::readWrite) {
    if (readOnly_) {
        openReadOnly(access == Access::asStored, busyWaitMs);
        return;
    }
    connectForWriting(busyWaitMs);
    try {
        // Before anything writes: switching the journal mode or adding the
        // schema would write into a damaged file and could make it worse.
        finishWriting(checkedVersion());
    } catch (...) {
        checkpointer_.reset();
        sqlite3_close(std::exchange(db_, nullptr));
        throw;
    }
}

TranscriptDB::TranscriptDB(std::filesystem::path url, Unchecked) : url_(std::move(url)) {
    // Not the start's long wait: a start that meets another program's hold
    // opens the file as it would without reading it in two, and waits there.
    connectForWriting(kWriteBusyWaitMs);
    try {
        const int version = userVersion(db_);
        // Said by the open that follows a refusal, not twice.
        checkLayout(version, false);
        // Another layout is brought up to date (or kept, a later one) by a
        // start that checks it first.
        if (version != schemaVersion)
            throw platform::AppError(kDomain, 2, url_.string() + " is of another layout");
        unchecked_ = true;
    } catch (...) {
        sqlite3_close(std::exchange(db_, nullptr));
        throw;
    }
}

void TranscriptDB::finishOpening() {
    assert(unchecked_ && db_);
    try {
        // The file was checked on another connection; its layout may have
        // changed since only through another program, and is looked at again.
        const int version = userVersion(db_);
        checkLayout(version);
        unchecked_ = false;
        finishWriting(version);
    } catch (...) {
        checkpointer_.reset();
        sqlite3_close(std::exchange(db_, nullptr));
        throw;
    }
}

void TranscriptDB::connectForWriting(int busyWaitMs) {
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(url_.c_str(), &handle,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK || !handle) {
        sqlite3_close(handle);
        throw platform::AppError(kDomain, 1, "Cannot open " + url_.string());
    }
    db_ = handle;
    sqlite3_busy_timeout(db_, busyWaitMs);
    sqlite3_progress_handler(
        db_, 1000,
        [](void* self) {
            static_cast<TranscriptDB*>(self)->thousandOperations_.fetch_add(
                1, std::memory_order_relaxed);
            return 0;  // never interrupts
        },
        this);
    // SQLite quietly opens a file it may not write for reading only;
    // every write would then fail with a message that names no cause.
    if (sqlite3_db_readonly(db_, "main") == 1) {
        const int reason = ::access(url_.c_str(), W_OK) == 0 ? EACCES : errno;
        sqlite3_close(std::exchange(db_, nullptr));
        throw platform::AppError(
            kDomain, 1,
            "Cannot open " + url_.string() + " for writing (" + std::strerror(reason) + ")");
    }
}

void TranscriptDB::finishWriting(int version) {
    if (version <= schemaVersion) dropForeignMarks();
    exec("PRAGMA journal_mode = WAL");
    exec("PRAGMA synchronous = NORMAL");
    // SQLite would copy the WAL into the file inside the commit that
    // makes it long; it is copied beside the writes instead.
    checkpointer_ = std::make_unique<WalCheckpointer>(url_);
    sqlite3_wal_hook(db_, &TranscriptDB::walCommitted, this);
    // INSERT OR REPLACE removes the old row of an id without running
    // delete triggers unless this is on; the full-text index would keep
    // the old words under a rowid that a later row may take over.
    exec("PRAGMA recursive_triggers = ON");
    upgradeSchema(version);
    hasSegments_ = hasSessions_ = true;
    hasMarks_ = hasMarks_ || version <= schemaVersion;
    hasRecords_ = hasRecords_ || version <= schemaVersion;
    proveWritable();
    sqlite3_busy_timeout(db_, kWriteBusyWaitMs);
    // Not in a later release's file, which merges its index as it sees fit.
    if (proven_ && version <= schemaVersion) mergeIndexStepwise();
}

int TranscriptDB::walCommitted(void* self, sqlite3* db, const char* name, int pages) {
    auto& me = *static_cast<TranscriptDB*>(self);
    if (pages < kCheckpointPages) return SQLITE_OK;
    // A copy beside the writes is finished only between two commits: one
    // that commits follow without a pause (many changes in a row) never is,
    // and the WAL would grow without end. Past four times the length the
    // commits stop asking, so that the copy under way ends, and the next
    // commit copies the WAL itself, as SQLite does.
    if (pages < 4 * kCheckpointPages && !me.checkpointer_->unavailable()) {
        me.checkpointer_->request();
        return SQLITE_OK;
    }
    const int rc = sqlite3_wal_checkpoint(db, name);
    if (rc == SQLITE_OK || isBusy(rc)) {
        if (rc == SQLITE_OK) me.checkpointSaid_.clear();
        return SQLITE_OK;
    }
    // Said once while it fails alike, not at every commit.
    std::string why = "copying " + me.url_.string() + "-wal into the transcript failed (" +
                      errorText(db) + "); it is tried again at the next change";
    if (why != me.checkpointSaid_) logStorageError(me.checkpointSaid_ = std::move(why));
    return SQLITE_OK;
}

void TranscriptDB::mergeIndexStepwise() {
    {
        OneOffStatement st;
        if (sqlite3_prepare_v2(db_, kMergingSet, -1, &st.stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(st.stmt) == SQLITE_ROW && sqlite3_column_int(st.stmt, 0) == 2)
            return;
    }
    try {
        exec("BEGIN");
        exec(kNoAutomerge);
        exec(kCrisisMerge);
        exec("COMMIT");
    } catch (const platform::AppError& e) {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        // Only slower: FTS5 merges by itself as before, and the next start tries again.
        logStorageError("cannot set how the full-text index of " + url_.string() +
                        " is merged: " + e.what());
    }
}

void TranscriptDB::proveWritable() {
    // A connection can open and read yet fail every write: SQLite shares one
    // WAL index per file within a process, so a writer opened while a reader
    // here holds the index read-only (made so on a read-only disk) gets the
    // reader's view of it. Such a handle is refused, not adopted.
    const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        exec("ROLLBACK");
        proven_ = true;
        return;
    }
    // Another program writing: it proves nothing either way, and a write
    // waits for it or is tried again later.
    if (isBusy(rc)) return;
    if ((rc & 0xff) == SQLITE_READONLY)
        throw platform::AppError(
            kDomain, 1,
            "Cannot open " + url_.string() + " for writing (" + sqlite3_errmsg(db_) + ")");
    throw failure(db_);
}

bool TranscriptDB::proveWritableNow() {
    assert(!unchecked_);
    if (proven_ || readOnly_) return proven_;
    sqlite3_busy_timeout(db_, 0);
    // Writes wait again as they did, however the proof ends.
    const struct WaitAgain {
        sqlite3* db;
        ~WaitAgain() { sqlite3_busy_timeout(db, kWriteBusyWaitMs); }
    } waitAgain{db_};
    proveWritable();
    return proven_;
}

bool TranscriptDB::syncCommitted() {
    // With synchronous = NORMAL a commit lies in the WAL until the next
    // checkpoint, which a power cut or a system crash can lose; the WAL is
    // synced as synchronous = FULL would have done at the commit.
    sqlite3_file* wal = nullptr;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) != SQLITE_OK ||
        !wal || !wal->pMethods)
        return true;  // no WAL open: a rollback journal's commits are synced as they are made
    const int rc = wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
    if (rc == SQLITE_OK) return true;
    lastError_ = sqlite3_errstr(rc);
    logStorageError("cannot sync " + url_.string() + "-wal to the disk: " + lastError_);
    return false;
}

void TranscriptDB::openReadOnly(bool asStored, int busyWaitMs) {
    // A WAL file is read through the index file beside it, which a folder
    // that cannot be written cannot take when the last writer removed it.
    // The file is then read as it stands ("immutable"), which would only
    // miss changes another process makes meanwhile. With no journal beside
    // it, no one is writing it (a writer keeps its WAL until it closes), and
    // it is read so first: reading through the index would make the index
    // and an empty WAL, and leave them there.
    std::error_code ec;
    const bool journalBeside = std::filesystem::exists(url_.string() + "-wal", ec) ||
                               std::filesystem::exists(url_.string() + "-journal", ec);
    std::vector<bool> order{!journalBeside, journalBeside};
    if (asStored) order = {true};
    for (const bool immutable : order) {
        sqlite3* handle = nullptr;
        const std::string uri = fileUri(url_) + (immutable ? "?immutable=1" : "?mode=ro");
        const int rc = sqlite3_open_v2(
            uri.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX,
            nullptr);
        if (rc != SQLITE_OK || !handle) {
            sqlite3_close(handle);
            throw platform::AppError(kDomain, 1, "Cannot open " + url_.string());
        }
        db_ = handle;
        sqlite3_busy_timeout(db_, busyWaitMs);
        try {
            checkedVersion();
            return;
        } catch (const platform::AppError& e) {
            sqlite3_close(std::exchange(db_, nullptr));
            // Read as it stands beside a writer, the file could look
            // damaged; a busy file is only busy.
            if (e.code() == kDamaged || e.code() == kBusy || immutable == order.back()) throw;
        }
    }
}

TranscriptDB::~TranscriptDB() {
    // Closed first, so that this connection's close is the last one's,
    // which copies the WAL into the file and removes it.
    checkpointer_.reset();
    for (const auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
}

void TranscriptDB::checkLayout(int version, bool say) {
    const bool later = version > schemaVersion;
    auto foreign = [&](const std::string& why) {
        if (say)
            logStorageError(url_.string() + " is not a transcript of this application (" + why +
                            "); it is left as it is");
        throw platform::AppError(kDomain, kDamaged, url_.string() + " is damaged: " + why);
    };
    const struct {
        const char* name;
        std::vector<std::string> columns;
        bool& found;
    } tables[] = {{"segments", {"id", "start", "end", "text", "edited", "original"}, hasSegments_},
                  {"sessions", {"id", "start", "name"}, hasSessions_}};
    for (const auto& table : tables) {
        const auto object = schemaObject(db_, table.name);
        table.found = object.has_value();
        // A numbered layout is made whole in one transaction: a table of
        // it missing was taken away by another program, and making it anew
        // would take a record's loss for a deletion (see readRecoveryFile).
        if (!object) {
            if (version > 0) foreign(std::string("it has no table ") + table.name);
            continue;
        }
        if (object->type != "table" || isVirtualTable(object->sql))
            foreign(std::string(table.name) + " is not a plain table");
        const auto columns = columnNames(db_, table.name);
        for (const std::string& column : table.columns)
            if (std::find(columns.begin(), columns.end(), column) == columns.end())
                foreign(std::string("the table ") + table.name + " has no column " + column);
    }
    // Added to files of this layout when they are opened for writing; a
    // file without them has dealt with no recovery line.
    // Another program's view under their name costs the marks alone, as a
    // table of another shape does: the transcript is read and written, and
    // the recovery files wait, named, until a start that can write the
    // file drops it. A trigger under the name is no table (its name is of
    // another kind): it is dropped by such a start too.
    version_ = version;
    const auto marks = tableOrView(db_, "recovery_marks");
    const auto records = tableOrView(db_, "recovery_records");
    hasMarks_ = marks.has_value();
    hasRecords_ = records.has_value();
    const bool marksNotATable = marks && marks->type != "table";
    notATableName_ = marksNotATable ? "recovery_marks" : "recovery_records";
    marksNotATable_ = marksNotATable                        ? marks->type
                      : records && records->type != "table" ? records->type
                                                            : "";
    const auto index = schemaObject(db_, "segments_fts");
    if (!index) {
        if (later) foreign("it has no full-text index");
        return;
    }
    if (!isVirtualTable(index->sql) || asciiLower(index->sql).find("fts5") == std::string::npos)
        foreign("segments_fts is not a full-text index");
}

void TranscriptDB::upgradeSchema(int version) {
    if (version > schemaVersion) {
        // A later release's file: its tables are a superset this code can use.
        logStorageError(url_.string() + " has layout " + std::to_string(version) +
                        ", newer than this build's " + std::to_string(schemaVersion));
        return;
    }
    bool complete = true;
    for (const char* name :
         {"segments", "segments_start", "sessions", "segments_fts", "segments_ai", "segments_ad",
          "segments_au", "recovery_marks", "recovery_records"})
        complete = complete && schemaObject(db_, name).has_value();
    if (version == schemaVersion && complete) return;
    // Rows stored without the index (it was dropped, or never made) are
    // found by a search only once it is built from them.
    const bool indexRows = !schemaObject(db_, "segments_fts") && schemaObject(db_, "segments");
    // 0 is a new file or one from before the layout was numbered; both get
    // version 1's tables, which the unnumbered files already hold.
    exec("BEGIN");
    try {
        exec(schema);
        if (indexRows) rebuildIndex();
        exec("PRAGMA user_version = " + std::to_string(schemaVersion));
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void TranscriptDB::rebuildIndex() {
    exec("INSERT INTO segments_fts(segments_fts) VALUES ('rebuild')");
    // Built in pieces of a megabyte that no commit merges by itself: made
    // one now, for a tenth more time, they leave the steps of the next
    // commits nothing but their own text to merge.
    exec("INSERT INTO segments_fts(segments_fts) VALUES ('optimize')");
}

void TranscriptDB::exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    if (rc == SQLITE_OK) return;
    sqlite3_free(err);
    throw failure(db_);
}

sqlite3_stmt* TranscriptDB::prepare(const char* sql, const char* operation) {
    sqlite3_stmt* stmt = tryPrepare(sql);
    if (!stmt)
        logStorageError(std::string(operation) + ": cannot prepare statement: " + lastError_);
    return stmt;
}

sqlite3_stmt* TranscriptDB::tryPrepare(const char* sql) {
    if (const auto kept = statements_.find(sql); kept != statements_.end()) return kept->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        lastError_ = errorText(db_);
        sqlite3_finalize(stmt);
        return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

namespace {

constexpr const char* kRepairSegment = "UPDATE segments SET id = ? WHERE rowid = ?";
constexpr const char* kRepairSession = "UPDATE sessions SET id = ? WHERE rowid = ?";
constexpr const char* kSegmentColumns = "SELECT id, start, end, text, edited, original, rowid ";

// Steps `st` (a query of kSegmentColumns) to its end, or until `stop`.
int readSegmentRows(sqlite3_stmt* st, std::vector<Segment>& out, std::vector<IdRepair>& repairs,
                    const std::atomic<bool>* stop = nullptr) {
    int rc;
    // Made with their ids as stored: a default one would be drawn at
    // random, only to be replaced.
    const RowValues row(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        out.push_back(Segment{.id = readId(row, 0, 6, repairs),
                              .start = platform::dateFromSecondsSince1970(row.real(1)),
                              .end = platform::dateFromSecondsSince1970(row.real(2)),
                              .text = std::string(row.text(3)),
                              .edited = row.integer(4) != 0,
                              .original = row.optionalText(5)});
        if (stop && stop->load(std::memory_order_relaxed)) return SQLITE_INTERRUPT;
    }
    return rc;
}

}  // namespace

std::vector<Segment> TranscriptDB::allSegments() {
    std::vector<Segment> out;
    std::vector<IdRepair> repairs;
    lastReadWhole_ = true;
    if (!hasSegments_) return out;
    {
        // Counted first (through the small index): years of rows would
        // otherwise be moved a score of times as the list grows.
        if (Statement count{tryPrepare("SELECT count(*) FROM segments")};
            count && sqlite3_step(count.stmt) == SQLITE_ROW)
            out.reserve(size_t(std::max<sqlite3_int64>(0, sqlite3_column_int64(count.stmt, 0))));
        Statement st(prepare(
            "SELECT id, start, end, text, edited, original, rowid FROM segments ORDER BY start",
            "reading segments"));
        lastReadWhole_ = st || !isBusy(sqlite3_errcode(db_));
        if (!st) return out;
        const int rc = readSegmentRows(st.stmt, out, repairs);
        lastReadWhole_ = !isBusy(rc);
        if (rc != SQLITE_DONE)
            logStorageError(std::string("reading segments stopped early: ") + errorText(db_));
    }
    repair(repairs, kRepairSegment, "repairing a segment id");
    return out;
}

void TranscriptDB::repair(std::vector<IdRepair>& repairs, const char* update, const char* what) {
    if (readOnly_) repairs.clear();  // read as given, under fresh ids each time
    if (unchecked_ && !repairs.empty()) {
        wantedRepair_ = true;  // nothing is written before the file is checked
        repairs.clear();
    }
    for (const IdRepair& r : repairs) {
        Statement st(prepare(update, what));
        if (!st) continue;
        bindText(st.stmt, 1, r.id.string());
        sqlite3_bind_int64(st.stmt, 2, r.rowid);
        if (sqlite3_step(st.stmt) != SQLITE_DONE)
            logStorageError(std::string(what) + " failed: " + errorText(db_));
    }
}

std::vector<Segment> TranscriptDB::segmentsFrom(double from) {
    std::vector<Segment> out;
    std::vector<IdRepair> repairs;
    lastReadWhole_ = true;
    if (!hasSegments_) return out;
    {
        Statement st(prepare(
            "SELECT id, start, end, text, edited, original, rowid FROM segments WHERE start >= ? "
            "ORDER BY start",
            "reading the newest segments"));
        lastReadWhole_ = st || !isBusy(sqlite3_errcode(db_));
        if (!st) return out;
        sqlite3_bind_double(st.stmt, 1, from);
        const int rc = readSegmentRows(st.stmt, out, repairs);
        lastReadWhole_ = rc == SQLITE_DONE;
    }
    repair(repairs, kRepairSegment, "repairing a segment id");
    return out;
}

std::optional<Segment> TranscriptDB::lastSegmentBefore(double before) {
    std::vector<Segment> out;
    std::vector<IdRepair> repairs;
    {
        Statement st(prepare(
            "SELECT id, start, end, text, edited, original, rowid FROM segments WHERE start IS "
            "NULL OR start < ? ORDER BY start DESC LIMIT 1",
            "reading a segment"));
        if (!st) return std::nullopt;
        sqlite3_bind_double(st.stmt, 1, before);
        if (readSegmentRows(st.stmt, out, repairs) != SQLITE_DONE) return std::nullopt;
    }
    if (out.empty()) return std::nullopt;
    return out.front();
}

std::optional<double> TranscriptDB::startOfNewest(size_t n) {
    if (n == 0 || !hasSegments_) return std::nullopt;
    Statement st(prepare("SELECT start FROM segments ORDER BY start DESC LIMIT 1 OFFSET ?",
                         "counting the newest segments"));
    if (!st) return std::nullopt;
    sqlite3_bind_int64(st.stmt, 1, sqlite3_int64(n - 1));
    if (sqlite3_step(st.stmt) != SQLITE_ROW) return std::nullopt;
    const int type = sqlite3_column_type(st.stmt, 0);
    if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) return std::nullopt;
    return sqlite3_column_double(st.stmt, 0);
}

TranscriptDB::EarlierPart TranscriptDB::readCheckedBefore(const std::filesystem::path& file,
                                                          double before,
                                                          const std::atomic<bool>& stop) {
    EarlierPart out;
    sqlite3* handle = nullptr;
    const std::string uri = fileUri(file) + "?mode=ro";
    const int rc =
        sqlite3_open_v2(uri.c_str(), &handle,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(handle, &sqlite3_close);
    if (rc != SQLITE_OK || !handle) return out;
    sqlite3_busy_timeout(handle, kOpenBusyWaitMs);
    // A store that closes meanwhile waits for this no longer than a
    // thousand of SQLite's steps.
    sqlite3_progress_handler(
        handle, 1000,
        [](void* flag) {
            return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed) ? 1
                                                                                                : 0;
        },
        const_cast<std::atomic<bool>*>(&stop));
    {
        OneOffStatement check;
        if (sqlite3_prepare_v2(handle, "PRAGMA quick_check", -1, &check.stmt, nullptr) != SQLITE_OK)
            return out;
        int step;
        bool ok = true;
        while ((step = sqlite3_step(check.stmt)) == SQLITE_ROW) {
            const unsigned char* line = sqlite3_column_text(check.stmt, 0);
            ok = ok && line && std::string_view(reinterpret_cast<const char*>(line)) == "ok";
        }
        out.sound = ok && step == SQLITE_DONE;
    }
    if (!out.sound || stop.load()) return out;
    // Sized first: a list grown in steps leaves holes this thread's heap
    // keeps for as long as the segments read into it live.
    {
        OneOffStatement count;
        if (sqlite3_prepare_v2(handle,
                               "SELECT count(*) FROM segments WHERE start IS NULL OR start < ?", -1,
                               &count.stmt, nullptr) == SQLITE_OK) {
            sqlite3_bind_double(count.stmt, 1, before);
            if (sqlite3_step(count.stmt) == SQLITE_ROW)
                out.segments.reserve(
                    size_t(std::max<sqlite3_int64>(0, sqlite3_column_int64(count.stmt, 0))));
        }
    }
    OneOffStatement st;
    const std::string sql = std::string(kSegmentColumns) +
                            "FROM segments WHERE start IS NULL OR start < ? ORDER BY start";
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &st.stmt, nullptr) != SQLITE_OK) return out;
    sqlite3_bind_double(st.stmt, 1, before);
    std::vector<IdRepair> repairs;
    out.whole =
        readSegmentRows(st.stmt, out.segments, repairs, &stop) == SQLITE_DONE && repairs.empty();
    return out;
}

std::vector<SessionMarker> TranscriptDB::allSessions() {
    std::vector<SessionMarker> out;
    std::vector<IdRepair> repairs;
    lastReadWhole_ = true;
    if (!hasSessions_) return out;
    {
        Statement st(prepare("SELECT id, start, name, rowid FROM sessions ORDER BY start",
                             "reading sessions"));
        lastReadWhole_ = st || !isBusy(sqlite3_errcode(db_));
        if (!st) return out;
        int rc;
        const RowValues row(st.stmt);
        while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
            SessionMarker m;
            m.id = readId(row, 0, 3, repairs);
            m.start = platform::dateFromSecondsSince1970(sqlite3_column_double(st.stmt, 1));
            m.name = columnOptionalText(st.stmt, 2);
            out.push_back(std::move(m));
        }
        lastReadWhole_ = !isBusy(rc);
        if (rc != SQLITE_DONE)
            logStorageError(std::string("reading sessions stopped early: ") + errorText(db_));
    }
    repair(repairs, kRepairSession, "repairing a session id");
    return out;
}

int TranscriptDB::checkedVersion() {
    if (!passesQuickCheck()) {
        logStorageError(url_.string() + " is damaged; it is left as it is");
        throw platform::AppError(kDomain, kDamaged, url_.string() + " is damaged");
    }
    const int version = userVersion(db_);
    checkLayout(version);
    return version;
}

bool TranscriptDB::passesQuickCheck() {
    OneOffStatement st;
    if (sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &st.stmt, nullptr) != SQLITE_OK)
        throw failure(db_);  // e.g. not a database, or busy
    bool ok = true;
    int rc;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
        std::string line = columnText(st.stmt, 0);
        if (line != "ok") {
            ok = false;
            logStorageError(url_.string() + ": " + line);
        }
    }
    // A check the disk cut short (full, failing) says nothing about the file.
    const int code = rc & 0xff;
    if (rc != SQLITE_DONE && code != SQLITE_CORRUPT && code != SQLITE_NOTADB) throw failure(db_);
    return ok && rc == SQLITE_DONE;
}

void TranscriptDB::sayWriteFailure(const std::string& message) {
    // The store retries every few seconds and at each change: a failure
    // that stays the same is said once, until a write gets through.
    if (message == writeSaid_) return;
    logStorageError(writeSaid_ = message);
}

bool TranscriptDB::write(sqlite3_stmt* st, const Segment& s) {
    bindText(st, 1, s.id.string());
    sqlite3_bind_double(st, 2, platform::secondsSince1970(s.start));
    sqlite3_bind_double(st, 3, platform::secondsSince1970(s.end));
    bindText(st, 4, s.text);
    sqlite3_bind_int(st, 5, s.edited ? 1 : 0);
    bindOptionalText(st, 6, s.original);
    const bool done = sqlite3_step(st) == SQLITE_DONE;
    if (!done)
        sayWriteFailure("writing segment " + s.id.string() +
                        " failed: " + (lastError_ = errorText(db_)));
    sqlite3_reset(st);
    return done;
}

bool TranscriptDB::write(sqlite3_stmt* st, const SessionMarker& m) {
    bindText(st, 1, m.id.string());
    sqlite3_bind_double(st, 2, platform::secondsSince1970(m.start));
    bindOptionalText(st, 3, m.name);
    const bool done = sqlite3_step(st) == SQLITE_DONE;
    if (!done)
        sayWriteFailure("writing session " + m.id.string() +
                        " failed: " + (lastError_ = errorText(db_)));
    sqlite3_reset(st);
    return done;
}

bool TranscriptDB::write(sqlite3_stmt* st, const platform::Uuid& deletedId) {
    bindText(st, 1, deletedId.string());
    const bool done = sqlite3_step(st) == SQLITE_DONE;
    if (!done)
        sayWriteFailure("deleting " + deletedId.string() +
                        " failed: " + (lastError_ = errorText(db_)));
    sqlite3_reset(st);
    return done;
}

void TranscriptDB::dropForeignMarks() {
    for (const char* name : {"recovery_marks", "recovery_records"}) {
        OneOffStatement st;
        if (sqlite3_prepare_v2(db_,
                               "SELECT type FROM sqlite_master WHERE name = ? AND type IN "
                               "('view', 'trigger')",
                               -1, &st.stmt, nullptr) != SQLITE_OK)
            throw failure(db_);
        sqlite3_bind_text(st.stmt, 1, name, -1, SQLITE_TRANSIENT);
        std::vector<std::string> kinds;
        while (sqlite3_step(st.stmt) == SQLITE_ROW) kinds.push_back(columnText(st.stmt, 0));
        // Neither holds a mark: the view shows rows of other tables, which
        // stay, and a trigger only acts on writes. The name is ours.
        for (const std::string& kind : kinds) {
            exec("DROP " + asciiLower(kind) + " IF EXISTS \"" + name + "\"");
            marksRepaired_ += std::string(marksRepaired_.empty() ? "" : "; ") + "dropped the " +
                              kind + " " + name + " that another program made in " + url_.string() +
                              ", where Verbolin keeps a table of its own";
        }
    }
    if (!marksRepaired_.empty()) {
        const auto marks = tableOrView(db_, "recovery_marks");
        const auto records = tableOrView(db_, "recovery_records");
        hasMarks_ = marks.has_value();
        hasRecords_ = records.has_value();
        marksNotATable_.clear();
    }
}

bool TranscriptDB::writeMarks(const RecoveryMarks& marks, const RecordMarks& records) {
    if (marks.empty() && records.empty()) return true;
    const char* table = marksNotATable_.empty() ? "recovery_marks" : notATableName_;
    bool done = marksNotATable_.empty();
    if (!done) lastError_ = "it is a " + marksNotATable_ + ", not a table";
    if (done && !marks.empty()) {
        Statement st(tryPrepare(kWriteMark));
        done = bool(st);
        for (auto mark = marks.begin(); done && mark != marks.end(); ++mark) {
            bindText(st.stmt, 1, mark->first.string());
            sqlite3_bind_int64(st.stmt, 2, mark->second);
            done = sqlite3_step(st.stmt) == SQLITE_DONE;
            if (!done) lastError_ = errorText(db_);
            sqlite3_reset(st.stmt);
            if (done) done = markHeld(kMarkHeld, {mark->first.string()}, mark->second);
        }
    }
    if (done && !records.empty()) {
        table = "recovery_records";
        Statement st(tryPrepare(kWriteRecordMark));
        done = bool(st);
        for (auto mark = records.begin(); done && mark != records.end(); ++mark) {
            const std::vector<std::string> key{mark->first.first.string(),
                                               mark->first.second.string()};
            bindText(st.stmt, 1, key[0]);
            bindText(st.stmt, 2, key[1]);
            sqlite3_bind_int64(st.stmt, 3, mark->second);
            done = sqlite3_step(st.stmt) == SQLITE_DONE;
            if (!done) lastError_ = errorText(db_);
            sqlite3_reset(st.stmt);
            if (done) done = markHeld(kRecordMarkHeld, key, mark->second);
        }
    }
    if (done) return true;
    if (isBusy(sqlite3_errcode(db_)) || lastError_.starts_with(kHeldByAnotherProgram)) {
        logStorageError("marking the recovery lines taken in failed: " + lastError_);
        return false;
    }
    // Said by the store once, as why saving stopped: the table is another
    // program's shape (no key on file, a constraint of its own), and stays
    // so until someone changes it.
    marksRefused_ = true;
    lastError_ = std::string("the table ") + table + " of " + url_.string() +
                 " cannot take the marks of the recovery lines taken in (" + lastError_ + "); " +
                 kRenameWayOut;
    return false;
}

bool TranscriptDB::markHeld(const char* held, const std::vector<std::string>& key,
                            std::int64_t line) {
    Statement st(tryPrepare(held));
    if (!st) return false;
    for (size_t i = 0; i < key.size(); ++i) bindText(st.stmt, int(i) + 1, key[i]);
    sqlite3_bind_int64(st.stmt, int(key.size()) + 1, line);
    if (sqlite3_step(st.stmt) != SQLITE_ROW) {
        lastError_ = errorText(db_);
        return false;
    }
    if (sqlite3_column_int64(st.stmt, 0) > 0) return true;
    lastError_ = "a mark written there does not read back as the integer written";
    return false;
}

std::string TranscriptDB::whyMarksCannotBeKept(const char* table,
                                               const std::vector<std::string>& key) {
    OneOffStatement st;
    if (sqlite3_prepare_v2(
            db_,
            "SELECT lower(name), upper(type), pk FROM pragma_table_info(?) UNION ALL "
            "SELECT 'trigger', '', 0 FROM sqlite_master WHERE type = 'trigger' AND "
            "tbl_name = ?1 UNION ALL SELECT 'check', '', 0 FROM sqlite_master "
            "WHERE name = ?1 AND type = 'table' AND lower(sql) LIKE '%check%'",
            -1, &st.stmt, nullptr) != SQLITE_OK)
        return "";  // the read that follows fails alike, and says why
    sqlite3_bind_text(st.stmt, 1, table, -1, SQLITE_TRANSIENT);
    std::vector<std::string> keyed;
    std::string why;
    int rc;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
        const std::string name = columnText(st.stmt, 0), type = columnText(st.stmt, 1);
        if (sqlite3_column_int(st.stmt, 2) > 0) keyed.push_back(name);
        if (name == "trigger") why = "a trigger acts on it";
        if (name == "check") why = "it has a check of its own";
        if (name == "line" && type != "INTEGER") why = "its column line is not of type INTEGER";
    }
    if (rc != SQLITE_DONE) return "";  // held by another program: only that is said
    std::sort(keyed.begin(), keyed.end());
    if (why.empty() && keyed != key) why = "its key is not the one Verbolin keeps the marks under";
    return why;
}

bool TranscriptDB::readMarks(const char* table, const char* sql, RecoveryMarks& marks) {
    // A table that would not keep a mark as written (another program's
    // shape) cannot say which lines were taken in either: the lines wait,
    // and saving goes on meanwhile.
    std::string foreign =
        whyMarksCannotBeKept(table, table == std::string_view("recovery_marks")
                                        ? std::vector<std::string>{"file"}
                                        : std::vector<std::string>{"file", "record"});
    Statement st(foreign.empty() ? tryPrepare(sql) : nullptr);
    int rc = SQLITE_ERROR;
    while (st && foreign.empty() && (rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
        // A line number is an integer under a file's identity; text, a blob
        // or a real number that another program left there says nothing of
        // which lines were taken in, as a table that cannot be read.
        const auto id = sqlite3_column_type(st.stmt, 0) == SQLITE_TEXT
                            ? platform::Uuid::parse(columnText(st.stmt, 0))
                            : std::nullopt;
        if (!id || sqlite3_column_type(st.stmt, 1) != SQLITE_INTEGER) {
            foreign = "it holds a value that is no mark of a line";
            continue;
        }
        const std::int64_t line = sqlite3_column_int64(st.stmt, 1);
        const auto [at, added] = marks.try_emplace(*id, line);
        if (!added) at->second = std::max(at->second, line);  // a table without a key
    }
    if (foreign.empty() && rc == SQLITE_DONE) return true;
    const std::string why = !foreign.empty() ? foreign : st ? errorText(db_) : lastError_;
    if (foreign.empty() && (isBusy(sqlite3_errcode(db_)) || why.starts_with(kHeldByAnotherProgram)))
        logStorageError("reading recovery marks stopped early: " + why);
    else
        marksProblem_ = std::string("cannot read the table ") + table + " of " + url_.string() +
                        " (" + why + ")";
    return false;
}

std::optional<TranscriptDB::RecoveryMarks> TranscriptDB::recoveryMarks() {
    RecoveryMarks marks;
    marksProblem_.clear();
    marksWayOut_ = kRenameWayOut;
    if (!hasMarks_ && version_ > schemaVersion) {
        // Taken in here, a line would be taken in again at every start.
        marksProblem_ = url_.string() +
                        " was made by a later release of Verbolin, without the "
                        "table recovery_marks where this one marks the recovery "
                        "lines it takes in";
        marksWayOut_ = "they stay for a release that can mark them there";
        return std::nullopt;
    }
    if (!marksNotATable_.empty()) {
        marksProblem_ = std::string("cannot read the table ") + notATableName_ + " of " +
                        url_.string() + " (it is a " + marksNotATable_ + ", not a table)";
        marksWayOut_ = readOnly_ ? "the next start that can write the transcript drops that " +
                                       marksNotATable_ + " and makes the table anew"
                                 : "drop that " + marksNotATable_ +
                                       ", and the next start makes the table anew";
        return std::nullopt;
    }
    if (hasMarks_ && !readMarks("recovery_marks", kReadMarks, marks)) return std::nullopt;
    if (hasRecords_ && !readMarks("recovery_records", kReadRecordMarks, marks)) return std::nullopt;
    return marks;
}

bool TranscriptDB::mergeStep() {
    Statement st(prepare(kMergeStep, "merging the index"));
    if (!st) return false;
    if (sqlite3_step(st.stmt) == SQLITE_DONE) return true;
    logStorageError("merging the full-text index failed: " + (lastError_ = errorText(db_)));
    return false;
}

template <class Items>
bool TranscriptDB::writeAll(const char* sql, const Items& items) {
    if (items.empty()) return true;
    Statement st(prepare(sql, "writing"));  // once for the whole batch
    if (!st) return false;
    for (const auto& item : items)
        if (!write(st.stmt, item)) return false;
    return true;
}

bool TranscriptDB::upsert(const Segment& s) { return writeAll(kWriteSegment, std::vector{s}); }

bool TranscriptDB::upsert(const SessionMarker& m) {
    return writeAll(kWriteSession, std::vector{m});
}

bool TranscriptDB::apply(const Changes& c) {
    assert(!unchecked_);  // nothing is written into a file before it is checked
    // A file that a later release made without the marks is written as
    // that release left it: its lines are then checked by what they were
    // made from alone.
    const RecoveryMarks none;
    const RecordMarks noRecords;
    const RecoveryMarks& marks = hasMarks_ ? c.marks : none;
    const RecordMarks& records = hasRecords_ ? c.records : noRecords;
    marksRefused_ = false;
    const bool indexed = !c.segments.empty() || !c.deletedSegments.empty();
    const bool bulk = c.segments.size() >= kBulkRows;
    // Each mark is written and read back: two statements, in a transaction;
    // a change of the index is followed by a step of its merging.
    const size_t statements = c.segments.size() + c.deletedSegments.size() + c.sessions.size() +
                              c.deletedSessions.size() + 2 * (marks.size() + records.size()) +
                              (indexed && !bulk ? 1 : 0);
    if (statements == 0) return true;
    auto writeChanges = [&] {
        return writeAll(kDeleteSegment, c.deletedSegments) &&
               writeAll(kDeleteSession, c.deletedSessions) && writeAll(kWriteSegment, c.segments) &&
               writeAll(kWriteSession, c.sessions) && writeMarks(marks, records) &&
               (!indexed || bulk || mergeStep());
    };
    if (statements == 1) {  // one statement is a transaction of its own
        const bool ok = writeChanges();
        if (ok) writeSaid_.clear();
        return ok;
    }
    try {
        exec("BEGIN");
    } catch (const platform::AppError& e) {
        sayWriteFailure(std::string("cannot start a transaction: ") + (lastError_ = e.what()));
        return false;
    }
    bool ok;
    if (!bulk) {
        ok = writeChanges();
    } else {
        // Indexing row by row is most of the cost of a large import; the
        // index is rebuilt once instead, inside the same transaction, so a
        // failure restores the trigger with everything else.
        try {
            std::string trigger;
            {
                Statement st(
                    prepare("SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = "
                            "'segments_ai'",
                            "reading the index trigger"));
                if (st && sqlite3_step(st.stmt) == SQLITE_ROW) trigger = columnText(st.stmt, 0);
            }
            if (trigger.empty())
                throw platform::AppError(kDomain, 2, "the index trigger is missing");
            exec("DROP TRIGGER segments_ai");
            ok = writeChanges();
            if (ok) {
                rebuildIndex();
                exec(trigger);
            }
        } catch (const platform::AppError& e) {
            sayWriteFailure(std::string("writing a large batch failed: ") +
                            (lastError_ = e.what()));
            ok = false;
        }
    }
    if (ok) {
        try {
            exec("COMMIT");
            writeSaid_.clear();
            return true;
        } catch (const platform::AppError& e) {
            sayWriteFailure(std::string("COMMIT failed: ") + (lastError_ = e.what()));
        }
    }
    // A transaction left open would swallow every later write and vanish at
    // close.
    if (!sqlite3_get_autocommit(db_)) {
        try {
            exec("ROLLBACK");
        } catch (const platform::AppError& e) {
            sayWriteFailure(std::string("ROLLBACK failed: ") + e.what());
        }
    }
    return false;
}

std::vector<std::string_view> TranscriptDB::queryWords(std::string_view query) {
    return splitWords(query);
}

std::string TranscriptDB::matchExpression(std::string_view query) {
    std::string out;
    for (std::string_view word : splitWords(query)) {
        if (!out.empty()) out += ' ';
        out += '"';
        for (char c : word) {
            if (c == '"') out += '"';
            out += c;
        }
        out += "\"*";
    }
    return out;
}

std::unordered_set<platform::Uuid> TranscriptDB::search(std::string_view query) {
    std::unordered_set<platform::Uuid> ids;
    for (const SearchHit& hit : searchHits(query)) ids.insert(hit.id);
    return ids;
}

namespace {

// Steps a query of (start, id) rows to its end, keeping the rows whose id
// reads; SQLite's last answer.
int readHits(sqlite3_stmt* st, std::vector<TranscriptDB::SearchHit>& hits) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        // Its length by its end rather than by another call, each of which
        // takes the connection's lock: an id with a NUL in it is none anyway.
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        const auto id = platform::Uuid::parse(text ? std::string_view(text) : "");
        if (id) hits.push_back({sqlite3_column_double(st, 0), *id});
    }
    return rc;
}

}  // namespace

std::vector<TranscriptDB::SearchHit> TranscriptDB::searchHits(std::string_view query) {
    std::vector<SearchHit> hits;
    std::string match = matchExpression(query);
    if (match.empty()) return hits;
    // Joined in the index's order, rather than gathered into a set first:
    // a short prefix finds most of the transcript.
    Statement st(prepare(
        "SELECT segments.start, segments.id FROM segments_fts JOIN segments ON segments.rowid = "
        "segments_fts.rowid WHERE segments_fts MATCH ?",
        "searching"));
    if (!st) return hits;
    bindText(st.stmt, 1, match);
    const int rc = readHits(st.stmt, hits);
    if (rc != SQLITE_DONE) logStorageError(std::string("search stopped early: ") + errorText(db_));
    return hits;
}

std::optional<std::vector<std::string>> TranscriptDB::termsStartingWith(std::string_view prefix,
                                                                        size_t most) {
    if (prefix.empty() || static_cast<unsigned char>(prefix.back()) >= 0x7f) return std::nullopt;
    if (!termsListed_) {
        // In the connection's own temporary schema: the file is not changed.
        try {
            exec(
                "CREATE VIRTUAL TABLE IF NOT EXISTS temp.segments_fts_instances USING "
                "fts5vocab(main, segments_fts, instance)");
            termsListed_ = true;
        } catch (const platform::AppError& e) {
            logStorageError(std::string("the index's terms cannot be listed: ") + e.what());
            termsListed_ = false;
        }
    }
    if (!*termsListed_) return std::nullopt;
    // One row per term: each read from the first place of the next term on,
    // rather than past every place of the one before.
    Statement st(
        prepare("SELECT term FROM temp.segments_fts_instances WHERE term >= ? AND term < ? LIMIT 1",
                "listing the index's terms"));
    if (!st) return std::nullopt;
    std::string end(prefix);
    ++end.back();
    std::vector<std::string> terms;
    std::string from(prefix);
    for (;;) {
        sqlite3_bind_text(st.stmt, 1, from.data(), int(from.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st.stmt, 2, end.data(), int(end.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(st.stmt);
        if (rc == SQLITE_DONE) return terms;
        if (rc != SQLITE_ROW) {
            logStorageError(std::string("listing the index's terms stopped early: ") +
                            errorText(db_));
            return std::nullopt;
        }
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, 0));
        if (!text || terms.size() == most) return std::nullopt;
        terms.emplace_back(text, size_t(sqlite3_column_bytes(st.stmt, 0)));
        // The least text after the term: no term holds a control character.
        from = terms.back() + '\x01';
        sqlite3_reset(st.stmt);
    }
}

std::string TranscriptDB::spelledOutExpression(std::string_view query, size_t most) {
    std::string out;
    for (std::string_view word : splitWords(query)) {
        // Groups in brackets are joined by AND alone: side by side they are no query.
        if (!out.empty()) out += " AND ";
        const bool plain = std::all_of(word.begin(), word.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
        std::optional<std::vector<std::string>> terms;
        if (plain) terms = termsStartingWith(asciiLower(std::string(word)), most);
        if (!terms) {
            out += matchExpression(word);
            continue;
        }
        if (terms->empty()) return {};
        out += '(';
        for (size_t i = 0; i < terms->size(); ++i) {
            if (i > 0) out += " OR ";
            out += '"' + (*terms)[i] + '"';
        }
        out += ')';
    }
    return out;
}

std::optional<std::vector<TranscriptDB::SearchHit>> TranscriptDB::searchHitsBetween(
    std::string_view query, double from, double to) {
    std::vector<SearchHit> hits;
    const std::string match = spelledOutExpression(query, kMostSpelledOut);
    if (match.empty()) return hits;
    // Rows are numbered as they were written, mostly in time: the stretch's
    // lowest and highest numbers bound the index's rows to read, and what
    // an edit wrote again under a new number is left out by its start.
    sqlite3_int64 first = 0, last = 0;
    {
        Statement st(
            prepare("SELECT min(+rowid), max(+rowid) FROM segments WHERE start >= ? AND "
                    "start <= ?",
                    "searching a stretch"));
        if (!st) return std::nullopt;
        sqlite3_bind_double(st.stmt, 1, from);
        sqlite3_bind_double(st.stmt, 2, to);
        if (sqlite3_step(st.stmt) != SQLITE_ROW) {
            logStorageError(std::string("search stopped early: ") + errorText(db_));
            return std::nullopt;
        }
        if (sqlite3_column_type(st.stmt, 0) == SQLITE_NULL) return hits;
        first = sqlite3_column_int64(st.stmt, 0);
        last = sqlite3_column_int64(st.stmt, 1);
    }
    // The index drives: looked up from each segment instead, it would
    // match the whole query once per row.
    Statement st(prepare(
        "SELECT segments.start, segments.id FROM segments_fts CROSS JOIN segments ON "
        "segments.rowid = segments_fts.rowid WHERE segments_fts MATCH ? AND segments_fts.rowid "
        "BETWEEN ? AND ? AND segments.start >= ? AND segments.start <= ?",
        "searching a stretch"));
    if (!st) return std::nullopt;
    bindText(st.stmt, 1, match);
    sqlite3_bind_int64(st.stmt, 2, first);
    sqlite3_bind_int64(st.stmt, 3, last);
    sqlite3_bind_double(st.stmt, 4, from);
    sqlite3_bind_double(st.stmt, 5, to);
    const int rc = readHits(st.stmt, hits);
    if (rc != SQLITE_DONE) {
        logStorageError(std::string("search stopped early: ") + errorText(db_));
        return std::nullopt;
    }
    return hits;
}

std::unordered_set<platform::Uuid> TranscriptDB::searchBetween(std::string_view query, double from,
                                                               double to) {
    std::unordered_set<platform::Uuid> ids;
    const std::string match = matchExpression(query);
    if (match.empty()) return ids;
    std::vector<sqlite3_int64> found;
    {
        Statement st(
            prepare("SELECT rowid FROM segments_fts WHERE segments_fts MATCH ?", "searching"));
        if (!st) return ids;
        bindText(st.stmt, 1, match);
        int rc;
        while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW)
            found.push_back(sqlite3_column_int64(st.stmt, 0));
        if (rc != SQLITE_DONE) {
            logStorageError(std::string("search stopped early: ") + errorText(db_));
            return ids;
        }
    }
    std::sort(found.begin(), found.end());
    Statement st(prepare("SELECT rowid, id FROM segments WHERE start >= ? AND start < ?",
                         "searching a stretch"));
    if (!st) return ids;
    sqlite3_bind_double(st.stmt, 1, from);
    sqlite3_bind_double(st.stmt, 2, to);
    int rc;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
        if (!std::binary_search(found.begin(), found.end(), sqlite3_column_int64(st.stmt, 0)))
            continue;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, 1));
        if (auto id = platform::Uuid::parse(text ? std::string_view(text) : "")) ids.insert(*id);
    }
    if (rc != SQLITE_DONE) logStorageError(std::string("search stopped early: ") + errorText(db_));
    return ids;
}

}  // namespace verbolin
