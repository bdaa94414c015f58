// The marks of the recovery lines a commit took in or passed over, by file
// and by record: written with the changes they deal with, and read back to
// tell which lines a start still has to take in.

#include <sqlite3.h>

#include <algorithm>
#include <string_view>

#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptDBSql.hpp"

namespace verbolin {

using namespace transcript_sql;

namespace {

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

}  // namespace

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

}  // namespace verbolin
