#pragma once
// What the modules of the transcript file (TranscriptDB*.cpp) share of
// SQLite: statements that reset or finalize themselves, the wording of its
// errors, and the reading of a segment's row. Not for use outside them.

#include <sqlite3.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/AppError.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SessionMarker.hpp"

namespace verbolin {

// A row whose stored id does not read back as the same canonical UUID text:
// memory gets `id`, and the row is rewritten under it.
struct IdRepair {
    sqlite3_int64 rowid;
    platform::Uuid id;
};

namespace transcript_sql {

inline constexpr const char* kDomain = "TranscriptDB";

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
std::string errorText(sqlite3* db);
bool isBusy(int rc);
// The connection's last error: another program holding the file for the
// moment is told apart from a statement that failed.
platform::AppError failure(sqlite3* db);
void bindText(sqlite3_stmt* stmt, int index, const std::string& text);
std::string columnText(sqlite3_stmt* stmt, int column);
std::string asciiLower(std::string text);

struct SchemaObject {
    std::string type;
    std::string sql;
};

// The kind and "CREATE" text of what the file keeps under `name`.
std::optional<SchemaObject> schemaObject(sqlite3* db, const char* name);
// What the file keeps under `name` among tables and views, whose names
// are of one kind: a trigger or an index may share it.
std::optional<SchemaObject> tableOrView(sqlite3* db, const char* name);

constexpr const char* kSegmentColumns = "SELECT id, start, end, text, edited, original, rowid ";

// Steps `st` (a query of kSegmentColumns) to its end, or until `stop`.
int readSegmentRows(sqlite3_stmt* st, std::vector<Segment>& out, std::vector<IdRepair>& repairs,
                    const std::atomic<bool>* stop = nullptr);

constexpr const char* kReadSessions = "SELECT id, start, name, rowid FROM sessions ORDER BY start";

// Steps `st` (kReadSessions) to its end.
int readSessionRows(sqlite3_stmt* st, std::vector<SessionMarker>& out,
                    std::vector<IdRepair>& repairs);

}  // namespace transcript_sql
}  // namespace verbolin
