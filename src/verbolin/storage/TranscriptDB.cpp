#include "verbolin/storage/TranscriptDB.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptDBSql.hpp"
#include "verbolin/storage/WalCheckpointer.hpp"

namespace verbolin {

using namespace transcript_sql;

namespace {

void bindOptionalText(sqlite3_stmt* stmt, int index, const std::optional<std::string>& text) {
    if (text)
        bindText(stmt, index, *text);
    else
        sqlite3_bind_null(stmt, index);
}

std::optional<std::string> columnOptionalText(sqlite3_stmt* stmt, int column) {
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
    return columnText(stmt, column);
}

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

namespace transcript_sql {

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

platform::AppError failure(sqlite3* db) {
    return platform::AppError(kDomain, isBusy(sqlite3_errcode(db)) ? TranscriptDB::kBusy : 2,
                              errorText(db));
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* p = sqlite3_column_text(stmt, column);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p),
                       size_t(sqlite3_column_bytes(stmt, column)));
}

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

int readSegmentRows(sqlite3_stmt* st, std::vector<Segment>& out, std::vector<IdRepair>& repairs,
                    const std::atomic<bool>* stop) {
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

int readSessionRows(sqlite3_stmt* st, std::vector<SessionMarker>& out,
                    std::vector<IdRepair>& repairs) {
    int rc;
    const RowValues row(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        SessionMarker m;
        m.id = readId(row, 0, 3, repairs);
        m.start = platform::dateFromSecondsSince1970(sqlite3_column_double(st, 1));
        m.name = columnOptionalText(st, 2);
        out.push_back(std::move(m));
    }
    return rc;
}

}  // namespace transcript_sql

constexpr const char* kWriteSegment =
    "INSERT OR REPLACE INTO segments (id, start, end, text, edited, original) VALUES "
    "(?, ?, ?, ?, ?, ?)";
constexpr const char* kWriteSession =
    "INSERT OR REPLACE INTO sessions (id, start, name) VALUES (?, ?, ?)";
constexpr const char* kDeleteSegment = "DELETE FROM segments WHERE id = ?";
constexpr const char* kDeleteSession = "DELETE FROM sessions WHERE id = ?";

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

constexpr const char* kRepairSegment = "UPDATE segments SET id = ? WHERE rowid = ?";
constexpr const char* kRepairSession = "UPDATE sessions SET id = ? WHERE rowid = ?";

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

TranscriptDB::~TranscriptDB() {
    // Closed first, so that this connection's close is the last one's,
    // which copies the WAL into the file and removes it.
    checkpointer_.reset();
    for (const auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
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

std::vector<SessionMarker> TranscriptDB::allSessions() {
    std::vector<SessionMarker> out;
    std::vector<IdRepair> repairs;
    lastReadWhole_ = true;
    if (!hasSessions_) return out;
    {
        Statement st(prepare(kReadSessions, "reading sessions"));
        lastReadWhole_ = st || !isBusy(sqlite3_errcode(db_));
        if (!st) return out;
        const int rc = readSessionRows(st.stmt, out, repairs);
        lastReadWhole_ = !isBusy(rc);
        // Interrupted only where the process quits (StopWhen): nothing to say.
        if (rc != SQLITE_DONE && rc != SQLITE_INTERRUPT)
            logStorageError(std::string("reading sessions stopped early: ") + errorText(db_));
    }
    repair(repairs, kRepairSession, "repairing a session id");
    return out;
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

bool TranscriptDB::mergeStep() {
    Statement st(prepare(kMergeStep, "merging the index"));
    if (!st) return false;
    if (sqlite3_step(st.stmt) == SQLITE_DONE) return true;
    logStorageError("merging the full-text index failed: " + (lastError_ = errorText(db_)));
    return false;
}

bool TranscriptDB::writable() {
    if (!unchecked_) return true;
    lastError_ = kNotYetChecked;
    sayWriteFailure("not writing " + url_.string() + ": " + lastError_);
    return false;
}

template <class Items>
bool TranscriptDB::writeAll(const char* sql, const Items& items) {
    if (items.empty()) return true;
    if (!writable()) return false;
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
    // Nothing is written into a file before it is checked: the one way in
    // for every change the store makes, refused in any build.
    if (!writable()) return false;
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

}  // namespace verbolin
