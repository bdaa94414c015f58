#pragma once
// The transcript on disk: one SQLite file with a full-text index over the
// segments' text. A thin synchronous wrapper; reads fail soft to empty
// results, writes are best effort (failures are logged, not raised), and only
// opening throws.

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SessionMarker.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace verbolin {

class TranscriptStore;

class TranscriptDB {
  public:
    // Opens or creates the file and its schema. Throws platform::AppError of
    // domain "TranscriptDB": code 1 "Cannot open <path>", code 2 with SQLite's
    // message when a pragma or the schema fails.
    explicit TranscriptDB(std::filesystem::path url);
    ~TranscriptDB();
    TranscriptDB(const TranscriptDB&) = delete;
    TranscriptDB& operator=(const TranscriptDB&) = delete;

    // Every segment / marker in ascending start order. A row whose id is not
    // a UUID is given a fresh one, and the row is rewritten under it so that
    // later edits and deletes reach it.
    std::vector<Segment> allSegments();
    std::vector<SessionMarker> allSessions();

    void upsert(const Segment& segment);
    void upsert(const SessionMarker& marker);

    // Ids of the segments whose text holds every whitespace-separated word of
    // the query as a word prefix.
    std::unordered_set<platform::Uuid> search(std::string_view query);

    // The match expression search() sends: each word quoted (inner quotes
    // doubled) as a prefix phrase, joined with spaces. Empty when the query
    // has no words.
    static std::string matchExpression(std::string_view query);

    sqlite3* handle() const { return db_; }
    const std::filesystem::path& url() const { return url_; }

    static const char* const schema;

  private:
    friend class TranscriptStore;

    // Runs SQL text without a result callback; throws code 2 on failure.
    void exec(const std::string& sql);

    // "DELETE FROM <table> WHERE id = ?" for each id, the whole batch in one
    // BEGIN ... COMMIT when `transaction` is set.
    void deleteRows(const char* sql, const std::vector<platform::Uuid>& ids, bool transaction);

    sqlite3_stmt* prepare(const char* sql, const char* operation);

    sqlite3* db_ = nullptr;
    std::filesystem::path url_;
};

}  // namespace verbolin
