// Opening the transcript file: for writing (checked, then its journal, its
// layout brought up to date and a write proven), for reading only, or
// unchecked while another connection checks it and reads the earlier part.
// Nothing is written into a file before it passed SQLite's quick check.

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/ReadStop.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptDBSql.hpp"
#include "verbolin/storage/WalCheckpointer.hpp"

namespace verbolin {

using namespace transcript_sql;

namespace {

int userVersion(sqlite3* db) {
    OneOffStatement st;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st.stmt, nullptr) != SQLITE_OK ||
        sqlite3_step(st.stmt) != SQLITE_ROW)
        throw failure(db);
    return sqlite3_column_int(st.stmt, 0);
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

bool isVirtualTable(const std::string& createSql) {
    return asciiLower(createSql).find("virtual table") != std::string::npos;
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

}  // namespace

namespace transcript_sql {

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

}  // namespace transcript_sql

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
        // SQLite itself refuses every write on this connection until the
        // check has passed, whatever statement a change would run.
        exec("PRAGMA query_only = 1");
        unchecked_ = true;
    } catch (...) {
        sqlite3_close(std::exchange(db_, nullptr));
        throw;
    }
}

void TranscriptDB::finishOpening() {
    if (!unchecked_ || !db_) return;  // finished already, or closed by a finish that failed
    try {
        // The file was checked on another connection; its layout may have
        // changed since only through another program, and is looked at again.
        const int version = userVersion(db_);
        checkLayout(version);
        exec("PRAGMA query_only = 0");
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
    if (proven_ || readOnly_ || unchecked_) return proven_;
    sqlite3_busy_timeout(db_, 0);
    // Writes wait again as they did, however the proof ends.
    const struct WaitAgain {
        sqlite3* db;
        ~WaitAgain() { sqlite3_busy_timeout(db, kWriteBusyWaitMs); }
    } waitAgain{db_};
    proveWritable();
    return proven_;
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

std::optional<std::string> TranscriptDB::layoutLost() {
    // Looked at as an open looks, leaving what that open found of the
    // tables in place: the marks are written as they were until a start
    // looks at them again.
    const bool segments = hasSegments_, sessions = hasSessions_, marks = hasMarks_,
               records = hasRecords_;
    const int version = version_;
    const char* notATableName = notATableName_;
    std::string marksNotATable = marksNotATable_;
    std::optional<std::string> lost;
    try {
        checkLayout(userVersion(db_));
    } catch (const platform::AppError& e) {
        if (e.code() == kDamaged) lost = e.what();
    }
    hasSegments_ = segments, hasSessions_ = sessions, hasMarks_ = marks, hasRecords_ = records;
    version_ = version;
    notATableName_ = notATableName;
    marksNotATable_ = std::move(marksNotATable);
    return lost;
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

namespace {

using Reader = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

// A read-only connection of the reading thread's own; none when the file
// cannot be opened.
Reader openReader(const std::filesystem::path& file, const std::atomic<bool>& stop) {
    sqlite3* handle = nullptr;
    const std::string uri = fileUri(file) + "?mode=ro";
    const int rc =
        sqlite3_open_v2(uri.c_str(), &handle,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    Reader db(handle, &sqlite3_close);
    if (rc != SQLITE_OK || !handle) return Reader(nullptr, &sqlite3_close);
    sqlite3_busy_timeout(handle, TranscriptDB::kOpenBusyWaitMs);
    // A store that closes meanwhile waits for this no longer than a
    // thousand of SQLite's steps.
    sqlite3_progress_handler(
        handle, 1000,
        [](void* flag) {
            return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed) ? 1
                                                                                                : 0;
        },
        const_cast<std::atomic<bool>*>(&stop));
    return db;
}

// Judged as passesQuickCheck() judges it, saying nothing: a check that
// found damage leaves what it said in `damage`, for the open that follows
// to say (and to spare the walk over every page again); one that could
// not run, or that a stop or the disk cut short, leaves no verdict.
bool passesQuickCheckQuietly(sqlite3* handle, std::optional<std::vector<std::string>>& damage) {
    OneOffStatement check;
    if (sqlite3_prepare_v2(handle, "PRAGMA quick_check", -1, &check.stmt, nullptr) != SQLITE_OK)
        return false;
    int step;
    std::vector<std::string> found;
    while ((step = sqlite3_step(check.stmt)) == SQLITE_ROW) {
        std::string line = columnText(check.stmt, 0);
        if (line != "ok") found.push_back(std::move(line));
    }
    if (step == SQLITE_DONE && found.empty()) return true;
    const int code = step & 0xff;
    if (step == SQLITE_DONE || code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
        damage = std::move(found);
    return false;
}

// The segments that start before `before` (and any of no start), or every
// segment; true when all were read and none needs its id repaired.
bool readSegmentsBefore(sqlite3* handle, std::optional<double> before,
                        const std::atomic<bool>& stop, std::vector<Segment>& out) {
    const std::string where = before ? " WHERE start IS NULL OR start < ?" : "";
    // Sized first: a list grown in steps leaves holes this thread's heap
    // keeps for as long as the segments read into it live.
    {
        OneOffStatement count;
        const std::string sql = "SELECT count(*) FROM segments" + where;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &count.stmt, nullptr) == SQLITE_OK) {
            if (before) sqlite3_bind_double(count.stmt, 1, *before);
            if (sqlite3_step(count.stmt) == SQLITE_ROW)
                out.reserve(
                    size_t(std::max<sqlite3_int64>(0, sqlite3_column_int64(count.stmt, 0))));
        }
    }
    OneOffStatement st;
    const std::string sql =
        std::string(kSegmentColumns) + "FROM segments" + where + " ORDER BY start";
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &st.stmt, nullptr) != SQLITE_OK) return false;
    if (before) sqlite3_bind_double(st.stmt, 1, *before);
    std::vector<IdRepair> repairs;
    return readSegmentRows(st.stmt, out, repairs, &stop) == SQLITE_DONE && repairs.empty();
}

}  // namespace

TranscriptDB::EarlierPart TranscriptDB::readOnItsOwn(const std::filesystem::path& file,
                                                     std::optional<double> before, ReadStop& stop,
                                                     const std::function<void()>& ready) {
    EarlierPart out;
    const Reader db = openReader(file, stop.flag());
    if (!db) return out;
    // Gone before the connection closes.
    const ReadStop::Reading reading(stop, db.get());
    if (stop.requested()) return out;
    const bool again = !before;
    if (again) {
        out.sound = true;  // checked by the read before, and changed since only through SQLite
        // One read transaction: the segments and the sessions of one state.
        if (sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return out;
    } else {
        out.sound = passesQuickCheckQuietly(db.get(), out.damage);
        if (!out.sound || stop.requested()) return out;
    }
    if (ready) ready();
    out.whole = readSegmentsBefore(db.get(), before, stop.flag(), out.segments);
    if (!again) return out;
    std::vector<IdRepair> repairs;
    OneOffStatement st;
    out.whole = out.whole &&
                sqlite3_prepare_v2(db.get(), kReadSessions, -1, &st.stmt, nullptr) == SQLITE_OK &&
                readSessionRows(st.stmt, out.sessions, repairs) == SQLITE_DONE && repairs.empty();
    sqlite3_finalize(std::exchange(st.stmt, nullptr));
    sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
    return out;
}

std::optional<std::int64_t> TranscriptDB::dataVersion() {
    OneOffStatement st;
    if (sqlite3_prepare_v2(db_, "PRAGMA data_version", -1, &st.stmt, nullptr) != SQLITE_OK ||
        sqlite3_step(st.stmt) != SQLITE_ROW)
        return std::nullopt;
    return sqlite3_column_int64(st.stmt, 0);
}

TranscriptDB::StopWhen::StopWhen(TranscriptDB& db, const std::atomic<bool>* flag)
    : db_(db), flag_(flag) {
    if (!flag_) return;
    // A thousand steps are a few hundred rows or index entries, far fewer
    // than a page of the disk holds; a COMMIT takes a handful, so one that
    // ends a read is never cut short.
    sqlite3_progress_handler(
        db_.db_, 1000,
        [](void* f) { return static_cast<const std::atomic<bool>*>(f)->load() ? 1 : 0; },
        const_cast<std::atomic<bool>*>(flag_));
}

TranscriptDB::StopWhen::~StopWhen() {
    if (flag_) sqlite3_progress_handler(db_.db_, 0, nullptr, nullptr);
}

TranscriptDB::Snapshot::Snapshot(TranscriptDB& db) : db_(db.db_) {
    if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        db_ = nullptr;
        return;
    }
    // Read within the transaction, it begins it: the version of the state
    // every read of it sees.
    version_ = db.dataVersion();
}

TranscriptDB::Snapshot::~Snapshot() {
    if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
}

void TranscriptDB::refuseDamaged(const std::filesystem::path& url,
                                 const std::vector<std::string>& found) {
    for (const std::string& line : found) logStorageError(url.string() + ": " + line);
    logStorageError(url.string() + " is damaged; it is left as it is");
    throw platform::AppError(kDomain, kDamaged, url.string() + " is damaged");
}

int TranscriptDB::checkedVersion() {
    if (!passesQuickCheck()) refuseDamaged(url_, {});  // its lines said as they came
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

}  // namespace verbolin
